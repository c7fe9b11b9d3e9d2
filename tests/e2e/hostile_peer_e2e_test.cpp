// A scripted peer against a real phone: plain TCP that writes the command
// records byte by byte and sends what no well-behaved phone would (silence,
// junk, records with extreme values or out of order, a flood of connections,
// and as a callee parameters nobody can use). After each case the phone must
// answer "rpc status", be idle (state 0), take the next connection with
// "ACCEPT" rather than "RCRESULTBUSY", and still place and take real calls.
//
// One target phone serves every case; each group ends with a real call to it.
#include <gtest/gtest.h>

#include <QThread>
#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <random>
#include <thread>

#include "e2e/e2e_rig.h"
#include "platform/temp_dir.h"
#include "res/resource_ids.h"
#include "store/records.h"
#include "support/proxy_fixtures.h"
#include "support/wire_peer.h"

using namespace kestrona;
using namespace kestrona::e2e;
using kestrona::test::ParamenterRecord;
using kestrona::test::RecordInt;
using kestrona::test::RequestCallRecord;
using kestrona::test::WireConnection;
using kestrona::test::WireListener;

namespace {

// The target's reply time-out in seconds (its "timeout" setting), short so
// that waits for a peer that never answers end soon.
constexpr int kReplyTimeoutS = 3;
// Long enough for the phone to give up on a silent connection (it waits ten
// seconds for a call request) on a slow, shared machine.
constexpr int kSettleMs = 25000;
constexpr int kAnswerMs = 8000;

const std::string kStartTalk = "STARTTALK";
const std::string kEndTalk = "ENDTALK";
const std::string kAutoAnswer = std::string("AUTOANSWER") + std::string(22, '\0');

class HostilePeerTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir = new kestrona::testing::TempDir;
        server = new ServerProcess(dir->path());
        if (!server->Start()) {
            return;
        }
        // Each phone's speech begins after a pause, so that what it says is
        // still to come when the call is answered, however long it rang.
        const auto backwards = dir->path() / "reversed_8k.wav";
        reversed = dir->path() / "reversed_later_8k.wav";
        const auto later = dir->path() / "later_8k.wav";
        std::string error;
        if (!WriteReversedSpeech(Speech(), backwards, error) ||
            !WriteDelayedSpeech(backwards, reversed, 2.0, error) ||
            !WriteDelayedSpeech(Speech(), later, 2.0, error)) {
            return;
        }
        targetPort = test::FreeLoopbackPort();
        target = new Phone(dir->path() / "target", server->Port(), reversed,
                           {{"fixport", "1"},
                            {"cmdport", std::to_string(targetPort)},
                            {"timeout", std::to_string(kReplyTimeoutS)}});
        partner = new Phone(dir->path() / "partner", server->Port(), later);
        if (!target->Register("target") || !partner->Register("partner")) {
            return;
        }
        ready = true;
    }

    static void TearDownTestSuite() {
        delete partner;
        delete target;
        delete server;
        delete dir;
        partner = nullptr;
        target = nullptr;
        server = nullptr;
        dir = nullptr;
    }

    void SetUp() override {
        ASSERT_TRUE(ready) << "the server or a phone did not start\n"
                           << (server ? server->Log() : std::string())
                           << (target ? target->Output() : std::string());
        ASSERT_TRUE(target->Running()) << "the target phone died in an earlier case";
        messagesBefore = target->Messages().size();
        missedBefore = target->History(kHistoryMissed).size();
    }

    static std::filesystem::path Speech() {
        return SourceDir() / "tests" / "data" / "speech_8k.wav";
    }

    // A connection to the target that it greeted with "ACCEPT". The probe
    // of the case before may still be on its way out, so "RCRESULTBUSY" is
    // retried for a while.
    static std::unique_ptr<WireConnection> Greeted() {
        std::unique_ptr<WireConnection> greeted;
        WaitUntil(
            [&] {
                auto c = WireConnection::Connect(targetPort);
                if (c && c->ReceiveUntilAny({"ACCEPT", "RCRESULTBUSY"}, kAnswerMs) == 0) {
                    c->Take();
                    greeted = std::move(c);
                }
                return greeted != nullptr;
            },
            kSettleMs, 250);
        return greeted;
    }

    // The target after a case: it answers status, is idle, and greets the
    // next caller instead of telling it busy.
    static void ExpectIdleAndReachable(const std::string& after) {
        SCOPED_TRACE("after " + after);
        ASSERT_TRUE(target->Running()) << target->Output();
        EXPECT_TRUE(target->WaitState(0, kSettleMs)) << "status: " << StatusText();
        std::string last;
        const bool greeted = WaitUntil(
            [&] {
                auto probe = WireConnection::Connect(targetPort);
                if (!probe) {
                    last = "no connection";
                    return false;
                }
                probe->ReceiveUntilAny({"ACCEPT", "RCRESULTBUSY"}, kAnswerMs);
                last = probe->Take();
                return last.rfind("ACCEPT", 0) == 0;
            },
            kSettleMs, 250);
        EXPECT_TRUE(greeted) << "the next caller got \"" << last << "\"";
        // The probe's own close is taken before the next caller comes.
        QThread::msleep(300);
    }

    static std::string StatusText() {
        return target->Rpc({QStringLiteral("status")}).toStdString();
    }

    // Gives the target time to take a record before the next one, so that
    // each arrives as a chunk of its own.
    static void Gap() { QThread::msleep(150); }

    static inline kestrona::testing::TempDir* dir = nullptr;
    static inline ServerProcess* server = nullptr;
    static inline Phone* target = nullptr;
    static inline Phone* partner = nullptr;
    static inline std::filesystem::path reversed;
    static inline int targetPort = 0;
    static inline bool ready = false;

    std::size_t messagesBefore = 0;
    std::size_t missedBefore = 0;
};

}  // namespace

// A port scan or a line that drops: a connection that says nothing after
// "ACCEPT", and one closed at once, leave the phone reachable, with nothing
// in its history and no box.
TEST_F(HostilePeerTest, SilentAndClosedConnections) {
    auto silent = Greeted();
    ASSERT_TRUE(silent) << "an idle phone greets a new connection with ACCEPT";
    ExpectIdleAndReachable("a silent connection");
    EXPECT_TRUE(silent->WaitClosed(kSettleMs)) << "the silent connection was kept";

    for (int i = 0; i < 3; ++i) {
        auto closed = WireConnection::Connect(targetPort);
        ASSERT_TRUE(closed);
        closed->Close();
    }
    ExpectIdleAndReachable("connections closed at once");

    EXPECT_EQ(target->History(kHistoryMissed).size(), missedBefore);
    EXPECT_EQ(target->Messages().size(), messagesBefore);
    ExpectCallWorks(*partner, *target);
}

// Bytes that are no record: each chunk is refused with "UNKNOWCMD" and the
// connection it came on is dropped with the peer's close.
TEST_F(HostilePeerTest, JunkIsRefusedAndForgotten) {
    std::mt19937 random(18);
    std::string noise(700, '\0');
    for (char& c : noise) {
        c = static_cast<char>(random() & 0xff);
    }
    noise[0] = 'Z';  // no record begins with it
    const std::vector<std::pair<std::string, std::string>> junk = {
        {"random bytes", noise},
        {"a long line", std::string(5000, 'x') + "\r\n"},
        {"a short chunk", "AB"},
        {"a single zero byte", std::string(1, '\0')},
    };
    for (const auto& [what, bytes] : junk) {
        auto c = Greeted();
        ASSERT_TRUE(c) << what;
        ASSERT_TRUE(c->Send(bytes));
        EXPECT_TRUE(c->ReceiveUntil("UNKNOWCMD", kAnswerMs)) << what << ": " << c->Take();
        c->Close();
        ExpectIdleAndReachable(what);
    }
    EXPECT_EQ(target->History(kHistoryMissed).size(), missedBefore);
    ExpectCallWorks(*partner, *target);
}

// Call requests with values no phone proposes: a rate other than the five is
// refused with "UNSUPPORTED", as is a feature this phone does not know; delay buffers
// at and beyond the ends give a call that rings and can be ended, or a
// refusal, never a crash.
TEST_F(HostilePeerTest, ExtremeCallRequests) {
    const int32_t caller = partner->Number();
    const std::vector<std::pair<std::string, std::string>> refused = {
        {"rate 0", RequestCallRecord(0, caller, 0, 250)},
        {"rate 10^9", RequestCallRecord(1000000000, caller, 0, 250)},
        {"rate 2^31-1", RequestCallRecord(INT_MAX, caller, 0, 250)},
        {"negative rate", RequestCallRecord(-8000, caller, 0, 250)},
        {"rate 11025", RequestCallRecord(11025, caller, 0, 250)},
        {"feature field 8", RequestCallRecord(8000, caller, 8, 250)},
    };
    for (const auto& [what, record] : refused) {
        auto c = Greeted();
        ASSERT_TRUE(c) << what;
        ASSERT_TRUE(c->Send(record));
        EXPECT_TRUE(c->ReceiveUntil("UNSUPPORTED", kAnswerMs)) << what << ": " << c->Take();
        EXPECT_EQ(target->Status()->state, 0) << what;
        c->Close();
        ExpectIdleAndReachable(what);
    }
    EXPECT_EQ(target->History(kHistoryMissed).size(), missedBefore);

    // A known rate gives a call at the smaller of the two rates (the target
    // runs at 8000 Hz); delay buffers outside the options' range are refused
    // or bounded.
    std::size_t calls = 0;
    for (const int32_t delay : {250, 5000, 0, -1, INT_MAX}) {
        const std::string what = "delay buffer " + std::to_string(delay);
        auto c = Greeted();
        ASSERT_TRUE(c) << what;
        ASSERT_TRUE(c->Send(RequestCallRecord(24000, caller, 0, delay)));
        const int answer = c->ReceiveUntilAny({"PARAMENTER", "UNSUPPORTED"}, kSettleMs);
        ASSERT_GE(answer, 0) << what << ": " << c->Take();
        if (answer == 0) {
            ASSERT_TRUE(target->WaitState(3)) << what;
            ++calls;
            const std::string reply = c->Take();
            const std::string params = reply.substr(reply.find("PARAMENTER"));
            ASSERT_GE(params.size(), 32u) << what;
            EXPECT_EQ(RecordInt(params, 20), 8000) << what;
            for (const std::size_t offset : {24u, 28u}) {
                EXPECT_GE(RecordInt(params, offset), 1) << what;
                EXPECT_LE(RecordInt(params, offset), 65535) << what;
            }
            ASSERT_TRUE(c->Send(kEndTalk));
            EXPECT_TRUE(c->WaitClosed(kAnswerMs)) << what;
        } else {
            EXPECT_TRUE(delay != 250 && delay != 5000) << what << " is an ordinary delay";
        }
        c->Close();
        ExpectIdleAndReachable(what);
    }
    EXPECT_EQ(target->History(kHistoryMissed).size(), missedBefore + calls);
    ExpectCallWorks(*partner, *target);
}

// 150 connections at once: one is greeted, the others are told busy (or
// greeted in turn once the first is dropped), each answer whole and alone;
// afterwards nothing is left open and the phone is reachable.
TEST_F(HostilePeerTest, BurstOf150Connections) {
    constexpr int kConnections = 150;
    const auto openFiles = [] {
        const long pid = target->Status() ? target->Status()->pid : 0;
        std::error_code ec;
        int n = 0;
        for (auto it =
                 std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
             !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
            ++n;
        }
        return n;
    };
    const int filesBefore = openFiles();

    // All at once; the listening queue is short, so many wait in the kernel
    // for their turn and may not be answered before the deadline.
    std::vector<std::unique_ptr<WireConnection>> connections(kConnections);
    std::vector<std::string> answers(kConnections);
    std::vector<std::thread> threads;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(8);
    const auto msLeft = [&] {
        return static_cast<int>(
            std::max<long long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(
                                       deadline - std::chrono::steady_clock::now())
                                       .count()));
    };
    for (int i = 0; i < kConnections; ++i) {
        threads.emplace_back([&, i] {
            connections[i] = WireConnection::Connect(targetPort, msLeft());
            if (connections[i]) {
                connections[i]->ReceiveUntilAny({"ACCEPT", "RCRESULTBUSY"}, msLeft());
                answers[i] = connections[i]->Take();
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    int accepted = 0, busy = 0, silent = 0;
    for (int i = 0; i < kConnections; ++i) {
        if (answers[i] == "ACCEPT") {
            ++accepted;
        } else if (answers[i] == "RCRESULTBUSY") {
            ++busy;
        } else {
            EXPECT_EQ(answers[i], "") << "connection " << i;
            ++silent;
        }
    }
    std::printf("[ measured ] burst of %d: %d greeted, %d busy, %d not answered within 8 s\n",
                kConnections, accepted, busy, silent);
    EXPECT_GE(accepted, 1);
    connections.clear();

    ExpectIdleAndReachable("a burst of connections");
    // The refused and dropped connections are closed, not kept.
    EXPECT_TRUE(WaitUntil([&] { return openFiles() <= filesBefore + 4; }, kSettleMs))
        << "open files: " << filesBefore << " before, " << openFiles() << " after";
    EXPECT_EQ(target->History(kHistoryMissed).size(), missedBefore);
    ExpectCallWorks(*partner, *target);
}

// Records out of order: a callee's and a caller's answers with no call,
// the callee's own answers and a second request sent to it while it rings,
// and "ENDTALK" twice.
// None of them starts a call or its media, and a call leaves one record.
TEST_F(HostilePeerTest, RecordsOutOfOrder) {
    {
        auto c = Greeted();
        ASSERT_TRUE(c);
        for (const std::string& record :
             {kStartTalk, ParamenterRecord(8000, 40000, 40001), kAutoAnswer}) {
            ASSERT_TRUE(c->Send(record));
            Gap();
            EXPECT_EQ(target->Status()->state, 0) << record.substr(0, 10) << " before a request";
        }
        // A chunk that is no record is answered: the ones before it were taken.
        ASSERT_TRUE(c->Send("??"));
        EXPECT_TRUE(c->ReceiveUntil("UNKNOWCMD", kAnswerMs));
        EXPECT_EQ(target->Status()->state, 0);
        ASSERT_TRUE(c->Send(kEndTalk));
        EXPECT_TRUE(c->WaitClosed(kSettleMs));
        ExpectIdleAndReachable("answers before a request");
        EXPECT_EQ(target->History(kHistoryMissed).size(), missedBefore);
    }
    {
        auto c = Greeted();
        ASSERT_TRUE(c);
        ASSERT_TRUE(c->Send(RequestCallRecord(8000, partner->Number(), 0, 250)));
        ASSERT_TRUE(c->ReceiveUntil("PARAMENTER", kSettleMs));
        ASSERT_TRUE(target->WaitState(3));
        // Only the callee answers; the same words from the caller change nothing.
        for (const std::string& record : {kStartTalk, kAutoAnswer}) {
            ASSERT_TRUE(c->Send(record));
            Gap();
            EXPECT_EQ(target->Status()->state, 3) << record.substr(0, 10) << " from the caller";
        }
        // A second request on the call's connection is refused; the call rings on.
        ASSERT_TRUE(c->Send(RequestCallRecord(8000, partner->Number() + 1, 0, 250)));
        EXPECT_TRUE(c->ReceiveUntil("UNSUPPORTED", kAnswerMs)) << c->Take();
        EXPECT_EQ(target->Status()->state, 3);
        EXPECT_EQ(target->Status()->peer, partner->Number());
        ASSERT_TRUE(c->Send(kEndTalk));
        Gap();
        c->Send(kEndTalk);
        ExpectIdleAndReachable("ENDTALK twice");
        const auto missed = target->History(kHistoryMissed);
        ASSERT_EQ(missed.size(), missedBefore + 1);
        EXPECT_EQ(missed.back().number, partner->Number());
    }
    ExpectCallWorks(*partner, *target);
}

// The target calls a scripted callee that answers with parameters nobody can
// use: a rate other than the five, ports 0, 70000 and -1. The target ends
// each call itself (with a box) and is idle again; then real calls work in
// both directions and each side hears the other.
TEST_F(HostilePeerTest, CalleeAnswersWithExtremeParameters) {
    // A phone registered at a fixed port and killed: the server still gives
    // its number's address, where the scripted callee now listens.
    const int decoyPort = test::FreeLoopbackPort();
    Phone decoy(dir->path() / "decoy", server->Port(), Speech(),
                {{"fixport", "1"}, {"cmdport", std::to_string(decoyPort)}});
    ASSERT_TRUE(decoy.Register("decoy")) << decoy.Output();
    decoy.Kill();
    WireListener callee;
    ASSERT_TRUE(callee.Listen(decoyPort));

    const std::size_t madeBefore = target->History(kHistoryMade).size();
    const std::vector<std::pair<std::string, std::string>> answers = {
        {"rate 10^9", ParamenterRecord(1000000000, 40000, 40001)},
        {"rate 2^31-1", ParamenterRecord(INT_MAX, 40000, 40001)},
        {"ports 0", ParamenterRecord(8000, 0, 0)},
        {"ports 70000", ParamenterRecord(8000, 70000, 70000)},
        {"ports -1", ParamenterRecord(8000, -1, -1)},
    };
    for (const auto& [what, record] : answers) {
        SCOPED_TRACE(what);
        const std::size_t boxes = target->Messages().size();
        ASSERT_EQ(target->Rpc({QStringLiteral("dial"), QString::number(decoy.Number())}),
                  QStringLiteral("ok"));
        auto c = callee.Accept(kSettleMs);
        ASSERT_TRUE(c) << "the target did not call";
        ASSERT_TRUE(c->Send("ACCEPT"));
        ASSERT_TRUE(c->ReceiveUntil("REQUESTCALL", kSettleMs));
        const std::string request = c->Take();
        ASSERT_EQ(request.size(), 48u);
        EXPECT_EQ(RecordInt(request, 20), 8000);
        EXPECT_EQ(RecordInt(request, 24), target->Number());
        // The target offers encryption, Opus and short frames; this callee
        // answers in the clear.
        EXPECT_EQ(RecordInt(request, 28), 7);
        ASSERT_TRUE(c->Send(record));
        // The target gives up on the call and says so on the wire.
        EXPECT_TRUE(c->ReceiveUntil(kEndTalk, kSettleMs)) << c->Take();
        EXPECT_TRUE(target->WaitState(0, kSettleMs)) << StatusText();
        EXPECT_EQ(target->Messages().size(), boxes + 1) << "one box tells of the failed call";
        EXPECT_TRUE(HasMessage(*target, res::kStrBadCallParameters));
        c->Close();
        ExpectIdleAndReachable(what);
    }
    EXPECT_EQ(target->History(kHistoryMade).size(), madeBefore + answers.size());

    ExpectCallWorks(*target, *partner);
    ExpectCallWorks(*partner, *target);
}
