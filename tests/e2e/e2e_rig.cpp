#include "e2e/e2e_rig.h"
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sqlite3.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <csignal>

#include <strings.h>

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QThread>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/wav_file.h"
#include "res/strings.h"
#include "store/call_history.h"

namespace kestrona::e2e {
namespace {

// A child that ends with the test: were the test killed (a time-out, a
// crash), the kernel kills it too rather than leave it running.
std::unique_ptr<QProcess> MakeChildProcess() {
    auto process = std::make_unique<QProcess>();
    const pid_t parent = ::getpid();
    process->setChildProcessModifier([parent] {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
    });
    return process;
}

int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

bool PortAnswers(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

QString Q(const std::filesystem::path& p) {
    return QString::fromStdString(p.string());
}

std::string ReadFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace

std::filesystem::path BinaryDir() {
    return KESTRONA_BINARY_DIR;
}
std::filesystem::path SourceDir() {
    return KESTRONA_SOURCE_DIR;
}

namespace {
std::filesystem::path InstalledOr(const char* program, const std::filesystem::path& built) {
    const char* dir = std::getenv("KESTRONA_TEST_BINDIR");
    return dir && *dir ? std::filesystem::path(dir) / program : built;
}
}  // namespace

std::filesystem::path PhoneProgram() {
    return InstalledOr("kestrona", BinaryDir() / "ui" / "kestrona");
}
std::filesystem::path ServerProgram() {
    return InstalledOr("kestrona-server", BinaryDir() / "server" / "kestrona-server");
}

double SpeakerSeconds(const Phone& phone, int rate) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(phone.Speaker(), ec);
    return ec || size < 44 ? 0.0 : double(size - 44) / 2.0 / double(rate);
}

bool WaitUntil(const std::function<bool()>& done, int timeoutMs, int stepMs) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs) {
            return false;
        }
        QThread::msleep(static_cast<unsigned long>(stepMs));
    }
    return true;
}

// ---- server ----

ServerProcess::ServerProcess(std::filesystem::path dir, std::string db, QStringList extraArgs)
    : m_dir(std::move(dir)),
      m_db(db.empty() ? (m_dir / "directory.db").string() : std::move(db)),
      m_extraArgs(std::move(extraArgs)) {
    std::filesystem::create_directories(m_dir);
}

ServerProcess::~ServerProcess() {
    Stop();
}

bool ServerProcess::Start() {
    if (m_port == 0) {
        m_port = FreePort();
    }
    m_process = MakeChildProcess();
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    m_process->setStandardOutputFile(Q(m_dir / "server.log"), QIODevice::Append);
    m_process->start(Q(ServerProgram()),
                     QStringList{QStringLiteral("--db"), QString::fromStdString(m_db),
                                 QStringLiteral("--listen"), QStringLiteral("127.0.0.1"),
                                 QStringLiteral("--port"), QString::number(m_port),
                                 QStringLiteral("--live-period"), QStringLiteral("1"),
                                 QStringLiteral("--session-timeout"), QStringLiteral("120"),
                                 QStringLiteral("--minimum-hash-cost")} +
                         m_extraArgs);
    if (!m_process->waitForStarted(10000)) {
        return false;
    }
    return WaitUntil([this] { return PortAnswers(m_port); }, 15000);
}

void ServerProcess::Stop() {
    if (m_process && m_process->state() != QProcess::NotRunning) {
        m_process->terminate();
        if (!m_process->waitForFinished(5000)) {
            m_process->kill();
            m_process->waitForFinished(5000);
        }
    }
    m_process.reset();
}

void ServerProcess::Kill() {
    if (m_process && m_process->state() != QProcess::NotRunning) {
        m_process->kill();
        m_process->waitForFinished(5000);
    }
    m_process.reset();
}

bool ServerProcess::ForgetSessions() const {
    sqlite3* db = nullptr;
    const std::string path = (m_dir / "directory.db").string();
    bool ok = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK;
    if (ok) {
        sqlite3_busy_timeout(db, 2000);
        ok = sqlite3_exec(db, "DELETE FROM sessions", nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    sqlite3_close(db);
    return ok;
}

std::vector<std::array<int, 4>> ServerProcess::Reports() const {
    std::vector<std::array<int, 4>> rows;
    sqlite3* db = nullptr;
    const std::string path = (m_dir / "directory.db").string();
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return rows;
    }
    sqlite3_busy_timeout(db, 2000);
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT kind, other, own, seconds FROM call_reports ORDER BY id", -1,
                           &st, nullptr) == SQLITE_OK) {
        while (sqlite3_step(st) == SQLITE_ROW) {
            rows.push_back({sqlite3_column_int(st, 0), sqlite3_column_int(st, 1),
                            sqlite3_column_int(st, 2), sqlite3_column_int(st, 3)});
        }
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return rows;
}

std::string ServerProcess::Log() const {
    return ReadFile(m_dir / "server.log");
}

// ---- phone ----

Phone::Phone(std::filesystem::path dir, int serverPort, std::filesystem::path mic,
             std::map<std::string, std::string> settings)
    : m_dir(std::move(dir)), m_mic(std::move(mic)) {
    // The phone makes its own folders; it starts in an empty one.
    std::filesystem::create_directories(StartDir());
    settings.emplace("HostPort", std::to_string(serverPort));
    Seed(settings);
}

Phone::~Phone() {
    Quit();
}

void Phone::Seed(const std::map<std::string, std::string>& overrides) {
    // An installation that has been started once: the defaults are there, so
    // the first start goes straight to the registration.
    const std::vector<std::pair<std::string, std::string>> defaults = {
        {"Version", "1"},
        {"Directory", WorkDir().string()},
        {"Host", "127.0.0.1"},
        {"HostPort", "10004"},
        {"password", ""},
        {"rate", "0"},
        {"timeout", "5"},
        {"proxy", "0"},
        {"proxyaddress", "127.0.0.1"},
        {"sock5port", "1080"},
        {"httpport", "80"},
        {"proxyusername", "-"},
        {"proxypassword", "-"},
        {"fixport", "0"},
        {"cmdport", "0"},
        {"aiport", "0"},
        {"aoport", "0"},
        {"autoaa", "0"},
        {"forcebreak", "0"},
        {"aatime", "60"},
        {"aafbtime", "300"},
        {"DelayBuffer", "0"},
    };
    std::filesystem::create_directories(ConfigDir() / "Ostravine");
    std::ofstream out(ConfigDir() / "Ostravine" / "Kestrona.conf");
    for (const auto& [name, value] : defaults) {
        auto it = overrides.find(name);
        out << name << '=' << (it != overrides.end() ? it->second : value) << '\n';
    }
    for (const auto& [name, value] : overrides) {
        const bool known = std::any_of(defaults.begin(), defaults.end(),
                                       [&](const auto& d) { return d.first == name; });
        if (!known) {
            out << name << '=' << value << '\n';
        }
    }
}

QProcessEnvironment Phone::Environment() const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("KESTRONA_CONFIG_HOME"), Q(ConfigDir()));
    env.insert(QStringLiteral("KESTRONA_AUTOSTART_DIR"), Q(m_dir / "autostart"));
    env.insert(QStringLiteral("KESTRONA_MSGLOG"), Q(m_dir / "msg.log"));
    // The logged boxes are compared with the string table's own texts.
    env.insert(QStringLiteral("KESTRONA_LANG"), QStringLiteral("zh"));
    env.insert(QStringLiteral("KESTRONA_AUDIO"),
               QStringLiteral("file:%1,%2").arg(Q(m_mic), Q(Speaker())));
    env.insert(QStringLiteral("KESTRONA_AUTO_CONNECTION"), QStringLiteral("1"));
    env.insert(QStringLiteral("KESTRONA_AUTO_LOGIN"),
               QStringLiteral(":") + QString::fromStdString(m_password));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), Q(m_dir));
    env.insert(QStringLiteral("XDG_DATA_HOME"), Q(m_dir / "data"));
    for (const auto& [k, v] : m_env) {
        env.insert(k, v);
    }
    return env;
}

bool Phone::StartProcess(const QStringList& args, const std::map<QString, QString>& extra) {
    QProcessEnvironment env = Environment();
    for (const auto& [k, v] : extra) {
        env.insert(k, v);
    }
    m_process = MakeChildProcess();
    m_process->setProcessEnvironment(env);
    m_process->setWorkingDirectory(Q(StartDir()));
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    m_process->setStandardOutputFile(Q(m_dir / "out.log"), QIODevice::Append);
    m_process->start(Q(PhoneProgram()), args);
    return m_process->waitForStarted(10000);
}

bool Phone::Register(const std::string& name) {
    m_password = "pw-" + name;
    const QString data =
        QString::fromStdString(name + "|" + m_password + "|" + name + "@example.org|cn|Suzhou");
    if (!StartProcess({}, {{QStringLiteral("KESTRONA_AUTO_REGISTER"), data}})) {
        return false;
    }
    if (!WaitUntil([this] { return Status().has_value() || !Running(); })) {
        return false;
    }
    m_number = static_cast<int32_t>(std::atoi(Setting("ID").c_str()));
    return Status().has_value() && m_number > 0;
}

bool Phone::Start(const QStringList& args) {
    if (!StartProcess(args, {})) {
        return false;
    }
    return WaitUntil([this] { return Status().has_value() || !Running(); }) && Status();
}

bool Phone::Running() const {
    return m_process && m_process->state() != QProcess::NotRunning &&
           !m_process->waitForFinished(0);
}

void Phone::Quit() {
    if (Status()) {
        Rpc({QStringLiteral("quit")});
        WaitUntil([this] { return !Status().has_value(); }, 15000);
    }
    if (m_process && m_process->state() != QProcess::NotRunning) {
        if (!m_process->waitForFinished(15000)) {
            m_process->kill();
            m_process->waitForFinished(5000);
        }
    }
}

void Phone::Kill() {
    if (m_process) {
        m_process->kill();
        m_process->waitForFinished(5000);
    }
}

void Phone::Terminate() {
    if (m_process) {
        m_process->terminate();
        if (!m_process->waitForFinished(15000)) {
            m_process->kill();
            m_process->waitForFinished(5000);
        }
    }
}

QString Phone::Rpc(const QStringList& args, int* exitCode) const {
    QProcess rpc;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KESTRONA_CONFIG_HOME"), Q(ConfigDir()));
    rpc.setProcessEnvironment(env);
    rpc.start(Q(PhoneProgram()), QStringList{QStringLiteral("rpc")} + args);
    if (!rpc.waitForFinished(15000)) {
        rpc.kill();
        rpc.waitForFinished();
        if (exitCode) {
            *exitCode = -1;
        }
        return {};
    }
    if (exitCode) {
        *exitCode = rpc.exitCode();
    }
    return QString::fromUtf8(rpc.readAllStandardOutput()).trimmed();
}

std::optional<PhoneStatus> Phone::Status() const {
    int code = 0;
    const QString text = Rpc({QStringLiteral("status")}, &code);
    static const QRegularExpression re(QStringLiteral(
        "^state=(-?\\d+) peer=(-?\\d+) seconds=(-?\\d+) incoming=(\\d) auto=\\d own=(-?\\d+) "
        "pid=(\\d+)(?: reach=(\\w+))?"));
    const auto m = re.match(text);
    if (code != 0 || !m.hasMatch()) {
        return std::nullopt;
    }
    PhoneStatus s;
    s.state = m.captured(1).toInt();
    s.peer = m.captured(2).toInt();
    s.seconds = m.captured(3).toInt();
    s.incoming = m.captured(4) == QLatin1String("1");
    s.own = m.captured(5).toInt();
    s.pid = m.captured(6).toLong();
    s.reach = m.captured(7).toStdString();
    return s;
}

bool Phone::WaitState(int state, int timeoutMs) const {
    return WaitUntil(
        [&] {
            const auto s = Status();
            return s && s->state == state;
        },
        timeoutMs, 20);
}

std::vector<HistoryRecord> Phone::History(int type) const {
    return ReadHistory(HistoryFile(type, WorkDir()));
}

std::vector<std::string> Phone::Messages() const {
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(m_dir / "msg.log"));
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::string Phone::Setting(const std::string& name) const {
    std::istringstream in(ReadFile(ConfigDir() / "Ostravine" / "Kestrona.conf"));
    for (std::string line; std::getline(in, line);) {
        const auto eq = line.find('=');
        if (eq != std::string::npos && strcasecmp(line.substr(0, eq).c_str(), name.c_str()) == 0) {
            return line.substr(eq + 1);
        }
    }
    return {};
}

std::string Phone::Output() {
    return ReadFile(m_dir / "out.log");
}

bool HasMessage(const Phone& phone, int stringId) {
    // The log keeps one message a line, a line break written as backslash and n.
    QString text = ResString(stringId);
    text.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    const auto lines = phone.Messages();
    return std::find(lines.begin(), lines.end(), text.toStdString()) != lines.end();
}

// ---- audio ----

std::vector<int16_t> ReadSamples(const std::filesystem::path& path) {
    PcmAudio audio;
    std::string error;
    if (!ReadWavOrRawFile(path, audio, error)) {
        return {};
    }
    return audio.samples;
}

double BestWaveformMatch(const std::vector<int16_t>& heard, const std::vector<int16_t>& source,
                         int rate, double searchSeconds) {
    const std::size_t window = static_cast<std::size_t>(rate / 2);
    const std::size_t limit =
        std::min(source.size(), static_cast<std::size_t>(searchSeconds * rate));
    if (limit < window || heard.size() < window) {
        return 0;
    }
    std::size_t bestStart = 0;
    double bestEnergy = -1;
    for (std::size_t start = 0; start + window <= limit; start += window / 4) {
        double e = 0;
        for (std::size_t k = 0; k < window; ++k) {
            e += double(source[start + k]) * source[start + k];
        }
        if (e > bestEnergy) {
            bestEnergy = e;
            bestStart = start;
        }
    }
    const int16_t* w = source.data() + bestStart;
    double heardEnergy = 0;
    for (std::size_t k = 0; k < window; ++k) {
        heardEnergy += double(heard[k]) * heard[k];
    }
    double best = 0;
    for (std::size_t lag = 0; lag + window <= heard.size(); ++lag) {
        if (lag > 0) {
            const double out = heard[lag - 1];
            const double in = heard[lag + window - 1];
            heardEnergy += in * in - out * out;
        }
        if (heardEnergy < 1.0) {
            continue;
        }
        double dot = 0;
        const int16_t* h = heard.data() + lag;
        for (std::size_t k = 0; k < window; ++k) {
            dot += double(w[k]) * h[k];
        }
        best = std::max(best, dot / std::sqrt(bestEnergy * std::max(heardEnergy, 1.0)));
    }
    return best;
}

double HeardCorrelation(const std::filesystem::path& heard, const std::filesystem::path& source,
                        int heardRate) {
    std::vector<int16_t> samples = ReadSamples(heard);
    if (heardRate != 8000) {
        std::vector<int16_t> narrow;
        ResampleLinear(samples.data(), samples.size(), uint32_t(heardRate), 8000, narrow);
        samples.swap(narrow);
    }
    return BestWaveformMatch(samples, ReadSamples(source), 8000, 3.0);
}

void DialTalkHangUp(Phone& caller, Phone& callee, double talkSeconds,
                    const std::function<void()>& whileTalking) {
    ASSERT_EQ(caller.Rpc({QStringLiteral("dial"), QString::number(callee.Number())}),
              QStringLiteral("ok"));
    ASSERT_TRUE(callee.WaitState(3)) << "the callee never rang\n"
                                     << caller.Output() << callee.Output();
    EXPECT_EQ(callee.Status()->peer, caller.Number());
    ASSERT_EQ(callee.Rpc({QStringLiteral("answer")}), QStringLiteral("ok"));
    ASSERT_TRUE(caller.WaitState(2)) << caller.Output();
    ASSERT_TRUE(callee.WaitState(2)) << callee.Output();
    if (whileTalking)
        whileTalking();
    const double heardCaller = SpeakerSeconds(caller), heardCallee = SpeakerSeconds(callee);
    EXPECT_TRUE(WaitUntil([&] {
        return SpeakerSeconds(caller) >= heardCaller + talkSeconds &&
               SpeakerSeconds(callee) >= heardCallee + talkSeconds;
    })) << "the loudspeakers stopped playing";
    // Still talking: neither side lost its streams.
    EXPECT_EQ(caller.Status()->state, 2);
    EXPECT_EQ(callee.Status()->state, 2);
    caller.Rpc({QStringLiteral("hangup")});
    EXPECT_TRUE(caller.WaitState(0));
    EXPECT_TRUE(callee.WaitState(0));
}

void ExpectCallWorks(Phone& caller, Phone& callee, double talkSeconds) {
    // What each plays from here on is compared with the other's speech.
    const double beforeCaller = SpeakerSeconds(caller), beforeCallee = SpeakerSeconds(callee);
    DialTalkHangUp(caller, callee, talkSeconds);
    if (::testing::Test::HasFatalFailure())
        return;

    auto talk = [](const Phone& phone, double from) {
        auto samples = ReadSamples(phone.Speaker());
        samples.erase(samples.begin(),
                      samples.begin() + std::min(samples.size(), std::size_t(from * 8000)));
        return samples;
    };
    // Any loud half second of the other's speech found whole is proof that
    // it was heard: a busy machine may spoil one stretch, not all of them.
    const auto anyWindow = [&](const std::vector<int16_t>& heard,
                               const std::vector<int16_t>& source) {
        const std::size_t window = 4000;
        const std::size_t limit =
            std::min(source.size(), static_cast<std::size_t>(talkSeconds * 8000));
        std::vector<double> energy;
        for (std::size_t start = 0; start + window <= limit; start += window) {
            double e = 0;
            for (std::size_t k = 0; k < window; ++k) {
                e += double(source[start + k]) * source[start + k];
            }
            energy.push_back(e);
        }
        const double loudest = energy.empty() ? 0 : *std::max_element(energy.begin(), energy.end());
        double best = 0;
        for (std::size_t i = 0; i < energy.size(); ++i) {
            if (energy[i] >= loudest / 4) {
                const std::vector<int16_t> stretch(source.begin() + i * window,
                                                   source.begin() + (i + 1) * window);
                best = std::max(best, BestWaveformMatch(heard, stretch, 8000, 0.5));
            }
        }
        return best;
    };
    const double callerHeard = anyWindow(talk(caller, beforeCaller), ReadSamples(callee.Mic()));
    const double calleeHeard = anyWindow(talk(callee, beforeCallee), ReadSamples(caller.Mic()));
    std::printf("[ measured ] waveform match during the talk: caller %.2f, callee %.2f\n",
                callerHeard, calleeHeard);
    EXPECT_GT(callerHeard, 0.6) << "the caller did not hear the callee";
    EXPECT_GT(calleeHeard, 0.6) << "the callee did not hear the caller";
}

void ExpectEachHeardTheOther(Phone& a, const std::filesystem::path& aMic, Phone& b,
                             const std::filesystem::path& bMic) {
    a.Quit();
    b.Quit();
    const double aHearsB = HeardCorrelation(a.Speaker(), bMic);
    const double aHearsA = HeardCorrelation(a.Speaker(), aMic);
    const double bHearsA = HeardCorrelation(b.Speaker(), aMic);
    const double bHearsB = HeardCorrelation(b.Speaker(), bMic);
    std::printf(
        "[ measured ] loudspeaker waveform match: A<-B %.2f (A<-A %.2f), "
        "B<-A %.2f (B<-B %.2f)\n",
        aHearsB, aHearsA, bHearsA, bHearsB);
    // Any half second of speech finds some likeness in seconds of other
    // speech (about 0.4 here); the codec keeps the right one well above.
    EXPECT_GT(aHearsB, 0.6);
    EXPECT_GT(bHearsA, 0.6);
    EXPECT_GT(aHearsB, aHearsA + 0.2);
    EXPECT_GT(bHearsA, bHearsB + 0.2);
}

bool WriteReversedSpeech(const std::filesystem::path& source, const std::filesystem::path& target,
                         std::string& error) {
    PcmAudio audio;
    if (!ReadWavFile(source, audio, error)) {
        return false;
    }
    std::reverse(audio.samples.begin(), audio.samples.end());
    return WriteWavFile(target, audio, error);
}

}  // namespace kestrona::e2e

namespace kestrona::e2e {

bool WriteDelayedSpeech(const std::filesystem::path& source, const std::filesystem::path& target,
                        double seconds, std::string& error) {
    PcmAudio audio;
    if (!ReadWavFile(source, audio, error)) {
        return false;
    }
    audio.samples.insert(audio.samples.begin(),
                         static_cast<std::size_t>(seconds * audio.rate) * audio.channels, 0);
    return WriteWavFile(target, audio, error);
}

}  // namespace kestrona::e2e
