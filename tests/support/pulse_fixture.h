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
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kestrona::testing {

class PulseFixture {
  public:
    static constexpr int kRate = 48000;  // the pipe devices' rate

    // dir: an empty folder the fixture may fill (sockets, FIFOs, logs).
    explicit PulseFixture(std::filesystem::path dir);
    virtual ~PulseFixture();
    PulseFixture(const PulseFixture&) = delete;
    PulseFixture& operator=(const PulseFixture&) = delete;

    // Starts the daemon with its microphone "mic" and loudspeaker "spk" (the
    // defaults) and the helpers that feed, drain and record them. False (and
    // a reason) when the daemon does not answer.
    bool Start(std::string* error = nullptr);
    // Ends everything; the samples heard so far stay readable.
    void Stop();
    // The daemon dies at once (SIGKILL), as a crashed sound server would.
    virtual void KillDaemon();
    // The daemon stops answering (SIGSTOP) without closing a connection, as
    // a hung sound server would; false lets it go on (SIGCONT).
    void Freeze(bool frozen);
    bool Running() const { return m_daemon > 0; }

    virtual std::string ServerAddress() const { return "unix:" + (m_dir / "native").string(); }
    void Export() const;
    const std::filesystem::path& Dir() const { return m_dir; }

    // What the microphone says next (mono, kRate), in real time after what
    // was fed before; silence when nothing is left.
    void Feed(const std::vector<int16_t>& samples);
    // Everything the loudspeaker has played since Start (mono, kRate).
    std::vector<int16_t> Heard() const;
    size_t HeardCount() const;
    // When the first sample of the last Feed went into the microphone, and
    // when sample `index` of Heard() came out of the loudspeaker (about: the
    // loudspeaker is read every 20 ms); nothing when not yet.
    std::optional<std::chrono::steady_clock::time_point> FedAt() const;
    std::optional<std::chrono::steady_clock::time_point> HeardAt(size_t index) const;

    // Runs pactl against the daemon; true on exit status 0. *out gets its
    // standard output.
    bool Pactl(const std::vector<std::string>& args, std::string* out = nullptr) const;
    // Adds a further null sink (a second loudspeaker) and returns its module
    // index, or -1.
    int AddNullSink(const std::string& name, const std::string& description);
    bool UnloadModule(int index);
    // The daemon's log.
    virtual std::string Log() const;

  protected:
    // Starts the sound server (m_daemon: the process clients talk to) and
    // whatever keeps the microphone drained, with the microphone's FIFO at
    // Dir()/"mic.fifo" and the loudspeaker's at Dir()/"spk.fifo".
    virtual bool StartServer(std::string* why);
    // Ends what StartServer started, with `signal` first.
    virtual void StopServer(int signal);
    // The environment of every process the fixture starts.
    virtual void AdjustEnvironment(std::map<std::string, std::string>& env) const;
    pid_t Spawn(const std::vector<std::string>& argv, const std::string& outFile) const;
    // Until pactl answers (and its "info" holds `mustShow`, when given).
    bool WaitForServer(int timeoutMs, const std::string& mustShow = {});
    static void Reap(pid_t& pid, int signal);

    std::filesystem::path m_dir;
    pid_t m_daemon = -1;
    pid_t m_drain = -1;

  private:
    void FeedLoop();
    void ReadLoop();

    std::atomic<bool> m_stop{false};
    std::atomic<int> m_generation{0};  // counts daemon starts
    std::thread m_feeder;
    std::thread m_reader;
    mutable std::mutex m_mutex;
    std::vector<int16_t> m_toSay;
    size_t m_said = 0;
    std::optional<std::chrono::steady_clock::time_point> m_fedAt;
    std::vector<int16_t> m_heard;
    // (samples heard so far, when the read that ended there returned)
    std::vector<std::pair<size_t, std::chrono::steady_clock::time_point>> m_heardMarks;
};

}  // namespace kestrona::testing
