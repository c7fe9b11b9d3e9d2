// A private PulseAudio daemon in a temporary folder, for tests of the real
// sound path without a sound card: a microphone source fed from samples the
// test gives (in real time, then silence) and a loudspeaker sink whose output
// the test reads back. Runs as root too; touches nothing outside its folder.
//
// Clients reach it through PULSE_SERVER=ServerAddress(); Export() sets that
// (and the daemon's paths) in this process's environment.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestrona::testing {

class PulseFixture {
  public:
    static constexpr int kRate = 48000;  // the pipe devices' rate

    // dir: an empty folder the fixture may fill (sockets, FIFOs, logs).
    explicit PulseFixture(std::filesystem::path dir);
    ~PulseFixture();
    PulseFixture(const PulseFixture&) = delete;
    PulseFixture& operator=(const PulseFixture&) = delete;

    // Starts the daemon with its microphone "mic" and loudspeaker "spk" (the
    // defaults) and the helpers that feed, drain and record them. False (and
    // a reason) when the daemon does not answer.
    bool Start(std::string* error = nullptr);
    // Ends everything; the samples heard so far stay readable.
    void Stop();
    // The daemon dies at once (SIGKILL), as a crashed sound server would.
    void KillDaemon();
    // The daemon stops answering (SIGSTOP) without closing a connection, as
    // a hung sound server would; false lets it go on (SIGCONT).
    void Freeze(bool frozen);
    bool Running() const { return m_daemon > 0; }

    std::string ServerAddress() const { return "unix:" + (m_dir / "native").string(); }
    void Export() const;
    const std::filesystem::path& Dir() const { return m_dir; }

    // What the microphone says next (mono, kRate), in real time after what
    // was fed before; silence when nothing is left.
    void Feed(const std::vector<int16_t>& samples);
    // Everything the loudspeaker has played since Start (mono, kRate).
    std::vector<int16_t> Heard() const;
    size_t HeardCount() const;

    // Runs pactl against the daemon; true on exit status 0. *out gets its
    // standard output.
    bool Pactl(const std::vector<std::string>& args, std::string* out = nullptr) const;
    // Adds a further null sink (a second loudspeaker) and returns its module
    // index, or -1.
    int AddNullSink(const std::string& name, const std::string& description);
    bool UnloadModule(int index);
    // The daemon's log.
    std::string Log() const;

  private:
    void FeedLoop();
    void ReadLoop();
    pid_t Spawn(const std::vector<std::string>& argv, const std::string& outFile) const;
    bool WaitForServer(int timeoutMs);

    std::filesystem::path m_dir;
    pid_t m_daemon = -1;
    pid_t m_drain = -1;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_generation{0};  // counts daemon starts
    std::thread m_feeder;
    std::thread m_reader;
    mutable std::mutex m_mutex;
    std::vector<int16_t> m_toSay;
    size_t m_said = 0;
    std::vector<int16_t> m_heard;
};

}  // namespace kestrona::testing
