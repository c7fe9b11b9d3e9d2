// Both ends of a call in one process: each side an engine with its own file
// devices (microphone file in, speaker WAV out) and its own codec state.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "media/audio_engine.h"
#include "media_test_util.h"
#include "platform/audio_backend_file.h"

namespace kestrona::mediatest {

struct Side {
    Side(const std::filesystem::path& dir, const std::string& name, std::shared_ptr<SpeechCodec> c)
        : mic(dir / (name + "-mic.raw")), speaker(dir / (name + "-speaker.wav")), codec(c) {
        backend = std::make_shared<FileAudioBackend>(mic.string(), speaker.string());
        engine = std::make_unique<CAudioEngine>();
        engine->SetAudioBackend(backend);
        engine->SetCodec(codec);
        engine->SetRecordRoot(dir / name);
    }
    std::filesystem::path mic;
    std::filesystem::path speaker;
    std::shared_ptr<SpeechCodec> codec;
    std::shared_ptr<FileAudioBackend> backend;
    RecordingOwner owner;
    std::unique_ptr<CAudioEngine> engine;

    std::vector<int16_t> Heard() const { return ReadSpeaker(speaker); }
};

struct ProxySetup {
    int httpPort = 0;   // caller goes through an HTTP proxy on 127.0.0.1
    int socksPort = 0;  // answerer listens through a SOCKS5 proxy on 127.0.0.1
};

// Sets both engines up as the phone windows do and waits until both streams
// are connected, so starting the threads cannot race the accepts.
inline void ConnectCall(Side& caller, Side& answerer, int rate, int delayMs,
                        const ProxySetup& proxy = {}) {
    answerer.engine->Init(&answerer.owner, rate, delayMs, proxy.socksPort == 0, "127.0.0.1", 0,
                          proxy.socksPort);
    ASSERT_EQ(ListenAndWait(*answerer.engine, answerer.owner, 0, 0), kSetupOk);
    ASSERT_GT(answerer.engine->PortIn(), 0);
    ASSERT_GT(answerer.engine->PortOut(), 0);
    caller.engine->Init(&caller.owner, rate, delayMs, proxy.httpPort == 0, "127.0.0.1",
                        proxy.httpPort, 0);
    ASSERT_EQ(ConnectAndWait(*caller.engine, caller.owner, "127.0.0.1", answerer.engine->PortIn(),
                             answerer.engine->PortOut()),
              kSetupOk);
    if (proxy.socksPort == 0) {
        ASSERT_TRUE(WaitUntil([&] {
            return answerer.engine->m_sockIn.load() >= 0 && answerer.engine->m_sockOut.load() >= 0;
        }));
    }
}

inline void StartTalking(Side& caller, Side& answerer) {
    answerer.engine->StartReceive();
    answerer.engine->StartSend();
    caller.engine->StartReceive();
    caller.engine->StartSend();
}

inline size_t SpeakerSamples(const Side& side) {
    std::error_code ec;
    auto size = std::filesystem::file_size(side.speaker, ec);
    return ec || size < 44 ? 0 : size_t((size - 44) / 2);
}

}  // namespace kestrona::mediatest
