// One answering side of a call in a process of its own, for tests that stop
// or kill it: file devices and the marker codec, so the other side can tell
// exactly which frame it hears.
//
//   media_call_side RATE DELAY_MS MIC SPEAKER
//
// Prints "ports IN OUT" once listening and starts talking as soon as the
// caller connects. When standard input ends it hangs up and prints
// "clock MIC_START_NS SPEAKER_ORIGIN_NS": when microphone sample 0 was spoken
// and when loudspeaker sample 0 played, on the monotonic clock.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "media/audio_engine.h"
#include "media_test_util.h"
#include "platform/audio_backend_file.h"

using namespace kestrona;

namespace {

class QuietOwner : public IEngineOwner {
  public:
    void PostEngineMessage(int, int) override {}
    void ShowEngineAlert(const std::string&) override {}
};

long long Ns(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s RATE DELAY_MS MIC SPEAKER\n", argv[0]);
        return 2;
    }
    auto backend = std::make_shared<FileAudioBackend>(argv[3], argv[4]);
    QuietOwner owner;
    CAudioEngine engine;
    engine.SetAudioBackend(backend);
    engine.SetCodec(std::make_shared<mediatest::MarkerCodec>());
    engine.Init(&owner, std::atoi(argv[1]), std::atoi(argv[2]), true, "", 0, 0);
    if (!engine.Listen(0, 0))
        return 1;
    std::printf("ports %d %d\n", engine.PortIn(), engine.PortOut());
    std::fflush(stdout);
    // The threads wait for the caller's connections.
    engine.StartReceive();
    engine.StartSend();
    char c;
    while (::read(0, &c, 1) > 0) {
    }
    engine.Stop();
    auto spoken = backend->LastWaveInStart();
    auto played = backend->SpeakerTimeOfSample(0);
    std::printf("clock %lld %lld\n", spoken ? Ns(*spoken) : 0LL, played ? Ns(*played) : 0LL);
    return 0;
}
