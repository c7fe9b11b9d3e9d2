// Whole phones for end-to-end tests: a directory server process and phone
// processes on loopback, each phone with its own settings, data folder (the
// phone runs from an empty working folder of its own), file audio (a speech file as microphone, a
// WAV file as loudspeaker) and message log, driven through "kestrona rpc".
#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <array>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "store/records.h"

namespace kestrona::e2e {

std::filesystem::path BinaryDir();
std::filesystem::path SourceDir();
// The programs under test: those of the build tree, or the installed ones in
// $KESTRONA_TEST_BINDIR (a folder holding kestrona and kestrona-server).
std::filesystem::path PhoneProgram();
std::filesystem::path ServerProgram();

// Polls until done() holds or the time runs out; true when it held.
bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 30000, int stepMs = 50);

class ServerProcess {
  public:
    // db: the --db argument, a SQLite file in dir when empty; extraArgs
    // follow the rig's own options.
    explicit ServerProcess(std::filesystem::path dir, std::string db = {},
                           QStringList extraArgs = {});
    ~ServerProcess();
    // A restart keeps the port of the first start.
    bool Start();
    void Stop();
    // SIGKILL: the instance dies as in a crash, without a word to anyone.
    void Kill();
    int Port() const { return m_port; }
    // Rows of call_reports: kind, other, own, seconds.
    std::vector<std::array<int, 4>> Reports() const;
    // While stopped: forgets every session, as a server does with sessions that
    // timed out while it was down.
    bool ForgetSessions() const;
    std::string Log() const;

  private:
    std::filesystem::path m_dir;
    std::string m_db;
    QStringList m_extraArgs;
    int m_port = 0;
    std::unique_ptr<QProcess> m_process;
};

struct PhoneStatus {
    int state = -1;
    int peer = 0;
    int seconds = 0;
    bool incoming = false;
    int own = 0;
    long pid = 0;
    // What the directory server found of the phone's reachability
    // ("direct", "mapped", "relayed", "unreachable", ...; "" when not asked).
    std::string reach;
};

class Phone {
  public:
    // mic: the speech file captured as the microphone.
    Phone(std::filesystem::path dir, int serverPort, std::filesystem::path mic,
          std::map<std::string, std::string> settings = {});
    ~Phone();

    // First start: the connection dialog taken as it is, a registration with
    // the given name, then the login with its password.
    bool Register(const std::string& name);
    // A later start that logs in with the stored number and password.
    bool Start(const QStringList& args = {});
    bool StartProcess(const QStringList& args, const std::map<QString, QString>& env);
    // An environment value for every later start (overrides the rig's own,
    // such as KESTRONA_AUDIO).
    void SetEnvironment(const QString& key, const QString& value) { m_env[key] = value; }
    // Ends the phone through "rpc quit" (whatever process serves it now).
    void Quit();
    void Kill();
    // SIGTERM: the phone ends its loop the ordinary way.
    void Terminate();
    bool Running() const;

    QString Rpc(const QStringList& args, int* exitCode = nullptr) const;
    std::optional<PhoneStatus> Status() const;
    bool WaitState(int state, int timeoutMs = 30000) const;

    int32_t Number() const { return m_number; }
    std::vector<HistoryRecord> History(int type) const;
    std::vector<std::string> Messages() const;
    std::filesystem::path Speaker() const { return m_dir / "speaker.wav"; }
    const std::filesystem::path& Mic() const { return m_mic; }
    // The phone's data folder ("list/", "record/", "autoboot.lnk").
    std::filesystem::path WorkDir() const { return m_dir / "data" / "kestrona" / "phone"; }
    // The folder the phone is started in; nothing should land there.
    std::filesystem::path StartDir() const { return m_dir / "cwd"; }
    std::filesystem::path ConfigDir() const { return m_dir / "cfg"; }
    std::string Setting(const std::string& name) const;
    std::string Output();

  private:
    QProcessEnvironment Environment() const;
    void Seed(const std::map<std::string, std::string>& settings);

    std::filesystem::path m_dir;
    std::filesystem::path m_mic;
    std::unique_ptr<QProcess> m_process;
    std::string m_password;
    int32_t m_number = 0;
    std::string m_output;
    std::map<QString, QString> m_env;
};

// The message log holds the text of message-box string stringId.
bool HasMessage(const Phone& phone, int stringId);
// Seconds of call audio the phone's loudspeaker has played so far at `rate`.
double SpeakerSeconds(const Phone& phone, int rate = 8000);

std::vector<int16_t> ReadSamples(const std::filesystem::path& wavOrRaw);
// How well a stretch of the source shows up, waveform for waveform, anywhere
// in what was heard: the loudest half second among the first `searchSeconds`
// of the source is slid over the whole of `heard`; the result is the best
// normalised cross-correlation.
double BestWaveformMatch(const std::vector<int16_t>& heard, const std::vector<int16_t>& source,
                         int rate, double searchSeconds);
// BestWaveformMatch over the first three seconds of an 8000 Hz source, in
// what was heard at `heardRate` (a recording holds a call at the call's rate).
double HeardCorrelation(const std::filesystem::path& heard, const std::filesystem::path& source,
                        int heardRate = 8000);
// Writes the speech of `source` backwards to `target`: a second voice that a
// loudspeaker file can tell apart from the first.
bool WriteReversedSpeech(const std::filesystem::path& source, const std::filesystem::path& target,
                         std::string& error);
// A whole call placed through "rpc": caller dials, callee rings and answers,
// both talk until each loudspeaker has played `talkSeconds` more, the caller
// hangs up and both are back at state 0; what each loudspeaker played during
// the talk holds the other's microphone speech. The two phones need told-apart
// speech files (see WriteReversedSpeech). Failures go to the running test.
void ExpectCallWorks(Phone& caller, Phone& callee, double talkSeconds = 4);
// The call of ExpectCallWorks without the comparison; `whileTalking` runs as
// soon as both sides talk.
void DialTalkHangUp(Phone& caller, Phone& callee, double talkSeconds,
                    const std::function<void()>& whileTalking = {});
// Writes `source` with `seconds` of silence in front to `target`: speech for
// a callee, whose first moments go by while it rings.
bool WriteDelayedSpeech(const std::filesystem::path& source, const std::filesystem::path& target,
                        double seconds, std::string& error);
// Ends both phones, then expects each loudspeaker file to hold the other's
// microphone speech, through the codec, clearly more than its own.
void ExpectEachHeardTheOther(Phone& a, const std::filesystem::path& aMic, Phone& b,
                             const std::filesystem::path& bMic);

}  // namespace kestrona::e2e
