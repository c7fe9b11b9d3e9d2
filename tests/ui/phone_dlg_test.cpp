#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/temp_dir.h"
#include "res/strings.h"
#include "store/call_history.h"
#include "ui/phone_dlg.h"

using namespace kestrona;

namespace {

using Log = std::vector<std::string>;

struct FakeEngine : ICallEngine {
    explicit FakeEngine(Log& log) : log(log) {}
    void Init(int rate, int delayMs) override {
        log.push_back("init " + std::to_string(rate) + " " + std::to_string(delayMs));
    }
    bool Listen(int in, int out) override {
        log.push_back("listen " + std::to_string(in) + " " + std::to_string(out));
        return true;
    }
    int PortIn() const override { return 5001; }
    int PortOut() const override { return 5002; }
    bool Connect(const std::string& host, int in, int out) override {
        log.push_back("connect " + host + " " + std::to_string(in) + " " + std::to_string(out));
        return true;
    }
    void StartReceive() override { log.push_back("receive"); }
    void StartSend() override { log.push_back("send"); }
    void Record(const std::string& stem) override { log.push_back("record " + stem); }
    void Stop() override { log.push_back("stop"); }
    Log& log;
};

struct FakeServices : ICallServices {
    int queryCode = 10;
    bool requestOk = true;
    std::function<void()> duringQuery;
    std::function<void()> duringReport;
    bool peer = false;
    std::function<void()> duringRequest;
    Log log;     // network and messages
    Log engine;  // engine calls
    Log rings;
    std::filesystem::path root;

    int QueryUser(int32_t number, std::string& address, int& port) override {
        log.push_back("query " + std::to_string(number));
        if (duringQuery) {
            duringQuery();
        }
        address = "10.1.2.3";
        port = 4000;
        return queryCode;
    }
    void ReportCall(int kind, int32_t p, int32_t own, int seconds) override {
        log.push_back("report " + std::to_string(kind) + " " + std::to_string(p) + " " +
                      std::to_string(own) + (kind == 2 ? "" : " " + std::to_string(seconds)));
        if (duringReport) {
            auto once = std::move(duringReport);
            duringReport = nullptr;
            once();
        }
    }
    bool HasPeer() const override { return peer; }
    void DropPeer() override {
        log.push_back("drop");
        peer = false;
    }
    bool RequestCall(const std::string& address, int port) override {
        log.push_back("request " + address + ":" + std::to_string(port));
        peer = true;
        if (duringRequest) {
            duringRequest();
        }
        return requestOk;
    }
    void SendParameters(const Paramenter& p) override {
        log.push_back("params " + std::to_string(p.nSampleRate) + " " + std::to_string(p.nPortIn) +
                      " " + std::to_string(p.nPortOut));
    }
    void SendStartTalk() override { log.push_back("starttalk"); }
    void SendAutoAnswer() override { log.push_back("autoanswer"); }
    void EndPeer() override {
        log.push_back("endtalk");
        peer = false;
    }
    void ChangeListenPort(bool closeOld) override {
        log.push_back(closeOld ? "changeport close" : "changeport");
    }
    std::unique_ptr<ICallEngine> CreateEngine(IEngineOwner*) override {
        return std::make_unique<FakeEngine>(engine);
    }
    void PlayRing(const std::string& file) override { rings.push_back(file); }
    void PlayRingToEnd(const std::string& file) override { rings.push_back("to end " + file); }
    void ShowMessage(int id) override { log.push_back("message " + std::to_string(id)); }
    std::filesystem::path FilesRoot() const override { return root; }
};

bool Contains(const Log& log, const std::string& entry) {
    return std::find(log.begin(), log.end(), entry) != log.end();
}

bool WaitFor(const std::function<bool()>& done) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < 5000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return done();
}

class PhoneDlgTest : public ::testing::Test {
  protected:
    PhoneDlgTest() {
        services.root = dir.path();
        std::filesystem::create_directories(dir.path() / "list");
        model.m_nID = 500;
        model.m_nRate = 0;
        model.m_nDelayBufferMs = 250;
        model.m_nAATime = 60;
        model.m_nAAFBTime = 300;
    }
    CPhoneDlg& Window() {
        if (!window) {
            window = std::make_unique<CPhoneDlg>(services, model);
        }
        return *window;
    }
    std::vector<HistoryRecord> History(int type) {
        return ReadHistory(HistoryFile(type, dir.path()));
    }
    void Dial(int32_t number) {
        for (char c : std::to_string(number)) {
            Window().OnDigit(c == '0' ? 1016 : 1006 + (c - '0'));
        }
        Window().OnCallKey();
    }
    void Ring(int32_t caller, int rate = 8000) {
        RequestCall request;
        request.nSampleRate = rate;
        request.nCallerId = caller;
        request.nDelayBufferMs = 500;
        Window().OnIncomingCall(request);
        Window().BeginRecord(kHistoryMissed);
    }
    bool Enabled(int command) { return Window().Face().IsKeyEnabled(command); }
    bool Flashing(int command) { return Window().Face().IsKeyFlashing(command); }

    kestrona::testing::TempDir dir;
    FakeServices services;
    SettingsModel model;
    std::unique_ptr<CPhoneDlg> window;
};

}  // namespace

TEST_F(PhoneDlgTest, DiallingWithoutANumberAsksForOne) {
    Window().OnCallKey();
    EXPECT_TRUE(Contains(services.log, "message 140"));
    EXPECT_EQ(Window().m_nState, 0);
    EXPECT_TRUE(services.rings.empty());
}

TEST_F(PhoneDlgTest, OfflineCallRingsOnUntilHangUpAndIsListedAsMade) {
    services.queryCode = 20;
    Dial(123);
    CPhoneDlg& w = Window();
    EXPECT_EQ(w.m_nState, 5);
    EXPECT_TRUE(Flashing(1002));
    EXPECT_TRUE(w.TimerActive(1010));  // the ring-back keeps sounding
    EXPECT_EQ(services.rings, Log{"ring/out.wav"});
    EXPECT_FALSE(Contains(services.log, "request 10.1.2.3:4000"));

    w.OnHangUp();
    EXPECT_EQ(w.m_nState, 0);
    EXPECT_EQ(w.m_nPeerNumber, -1);
    EXPECT_FALSE(w.TimerActive(1010));
    EXPECT_FALSE(Flashing(1002));
    EXPECT_TRUE(Contains(services.log, "report 2 123 500"));
    const auto made = History(kHistoryMade);
    ASSERT_EQ(made.size(), 1u);
    EXPECT_EQ(made[0].number, 123);
    EXPECT_EQ(made[0].rate, 8000);
    EXPECT_TRUE(History(kHistoryTaken).empty());
}

TEST_F(PhoneDlgTest, OutgoingCallTalksAndEnds) {
    model.m_nRate = 4;
    Dial(777);
    CPhoneDlg& w = Window();
    EXPECT_EQ(w.m_nState, 1);
    EXPECT_TRUE(Contains(services.log, "request 10.1.2.3:4000"));
    EXPECT_FALSE(Enabled(1001));
    EXPECT_TRUE(Enabled(1002));
    EXPECT_FALSE(Enabled(1007));

    Paramenter params;
    params.nSampleRate = 16000;
    params.nPortIn = 7001;
    params.nPortOut = 7002;
    w.OnParameters(params);
    EXPECT_EQ(w.m_nState, 1);
    EXPECT_EQ(services.engine, (Log{"init 16000 250", "connect 10.1.2.3 7001 7002"}));

    w.StartTalk();
    EXPECT_EQ(w.m_nState, 2);
    EXPECT_FALSE(w.TimerActive(1010));
    EXPECT_TRUE(Enabled(1018));
    EXPECT_TRUE(w.BuildDisplay().status.endsWith(QStringLiteral("16000kHZ")));
    EXPECT_EQ(w.BuildDisplay().peer, QStringLiteral(" 777"));

    w.OnRecord();
    EXPECT_FALSE(Enabled(1018));
    EXPECT_EQ(w.m_history.recorded, 1);

    w.OnHangUp();
    EXPECT_TRUE(Contains(services.log, "endtalk"));
    EXPECT_EQ(services.engine.back(), "stop");
    const auto made = History(kHistoryMade);
    ASSERT_EQ(made.size(), 1u);
    EXPECT_EQ(made[0].rate, 16000);
    EXPECT_EQ(made[0].recorded, 1);
    // A second end of the same call writes nothing more.
    w.EndCall();
    EXPECT_EQ(History(kHistoryMade).size(), 1u);
}

TEST_F(PhoneDlgTest, BusyAndUnreachableCallee) {
    services.requestOk = false;
    services.duringRequest = [this] { Window().OnBusy(); };
    Dial(42);
    EXPECT_EQ(Window().m_nState, 4);
    EXPECT_FALSE(Contains(services.log, "message 148"));
    EXPECT_EQ(services.rings.back(), "ring/busy.wav");
    EXPECT_TRUE(Flashing(1002));
    Window().OnHangUp();
    EXPECT_EQ(Window().m_nState, 0);

    services.duringRequest = nullptr;
    Dial(43);
    EXPECT_EQ(Window().m_nState, 1);
    EXPECT_TRUE(Contains(services.log, "message 148"));
    EXPECT_TRUE(Flashing(1002));
}

TEST_F(PhoneDlgTest, IncomingCallAnsweredByTheUser) {
    Ring(900, 24000);
    CPhoneDlg& w = Window();
    EXPECT_EQ(w.m_nState, 3);
    EXPECT_TRUE(w.m_bIncoming);
    EXPECT_EQ(w.m_nPeerNumber, 900);
    EXPECT_TRUE(Flashing(1001));
    EXPECT_TRUE(Enabled(1001));
    EXPECT_TRUE(Enabled(1002));
    EXPECT_EQ(services.engine, (Log{"init 8000 500", "listen 0 0"}));
    EXPECT_TRUE(Contains(services.log, "params 8000 5001 5002"));
    EXPECT_EQ(services.rings, Log{"ring/in.wav"});
    EXPECT_FALSE(w.TimerActive(1020));  // auto-answer is off

    w.OnCallKey();
    EXPECT_EQ(w.m_nState, 2);
    EXPECT_FALSE(Flashing(1001));
    EXPECT_TRUE(Contains(services.log, "report 1 900 500 0"));
    EXPECT_TRUE(Contains(services.log, "starttalk"));
    EXPECT_EQ(services.engine.back(), "send");

    w.EndCall();  // "ENDTALK" from the caller
    EXPECT_FALSE(w.m_bIncoming);
    const auto taken = History(kHistoryTaken);
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].number, 900);
    EXPECT_EQ(taken[0].rate, 8000);
    EXPECT_TRUE(History(kHistoryMissed).empty());
}

TEST_F(PhoneDlgTest, CallerGivesUpWhileRinging) {
    Ring(901);
    Window().EndCall();
    const auto missed = History(kHistoryMissed);
    ASSERT_EQ(missed.size(), 1u);
    EXPECT_EQ(missed[0].number, 901);
    EXPECT_TRUE(Flashing(1006));
    Window().OnHistoryKey(1006);
    EXPECT_FALSE(Flashing(1006));
}

TEST_F(PhoneDlgTest, UserEndsARingingCallWhichCountsAsTaken) {
    Ring(902);
    Window().OnHangUp();
    EXPECT_TRUE(Contains(services.log, "report 2 902 500"));
    EXPECT_EQ(History(kHistoryTaken).size(), 1u);
    EXPECT_TRUE(History(kHistoryMissed).empty());
}

TEST_F(PhoneDlgTest, AnsweringMachineRecordsAndBreaksOff) {
    model.m_nAutoAA = 1;
    model.m_nAATime = 0;
    model.m_nForceBreak = 1;
    model.m_nAAFBTime = 0;
    Ring(903);
    CPhoneDlg& w = Window();
    ASSERT_TRUE(WaitFor([&] { return Contains(services.log, "autoanswer"); }));
    EXPECT_TRUE(Contains(services.log, "report 3 903 500 0"));
    ASSERT_TRUE(WaitFor([&] { return w.m_nState == 0; }));  // the forced break
    EXPECT_TRUE(Contains(services.engine, "receive"));
    EXPECT_FALSE(Contains(services.engine, "send"));
    const auto missed = History(kHistoryMissed);
    ASSERT_EQ(missed.size(), 1u);
    EXPECT_EQ(missed[0].recorded, 1);
    EXPECT_TRUE(Contains(services.engine, "record " + missed[0].Stem()));
}

TEST_F(PhoneDlgTest, AutoAnswerKeyTakesEffectAtTheNextCall) {
    CPhoneDlg& w = Window();
    w.OnAutoAnswerKey();
    EXPECT_TRUE(w.m_bAutoAnswer);
    EXPECT_TRUE(w.Face().IsKeyChecked(1019));
    Ring(904);
    EXPECT_TRUE(w.TimerActive(1020));
    w.OnCallKey();  // the user is quicker than the machine
    EXPECT_FALSE(w.TimerActive(1020));
    EXPECT_EQ(w.m_nState, 2);
}

TEST_F(PhoneDlgTest, CallerHearsTheMachineThenOnlySends) {
    Dial(55);
    Paramenter params;
    params.nSampleRate = 8000;
    Window().OnParameters(params);
    Window().OnPeerAutoAnswer();
    EXPECT_EQ(Window().m_nState, 7);
    EXPECT_EQ(services.rings.back(), "to end ring/aa.wav");
    EXPECT_EQ(services.engine.back(), "send");
    EXPECT_FALSE(Contains(services.engine, "receive"));
    EXPECT_TRUE(Enabled(1018));
}

TEST_F(PhoneDlgTest, BrokenConnectionAndALateReport) {
    Ring(905);
    CPhoneDlg& w = Window();
    w.OnCallKey();
    w.PostEngineMessage(kMsgConnectionLost, 0);
    ASSERT_TRUE(WaitFor([&] { return w.m_nState == 6; }));
    EXPECT_TRUE(Flashing(1002));
    EXPECT_TRUE(Enabled(1002));  // keys stay: the user can still hang up
    EXPECT_EQ(w.BuildDisplay().time.size(), 8);
    w.OnHangUp();
    EXPECT_EQ(w.m_nState, 0);

    // A report posted by the engine just before it stopped arrives late.
    w.PostEngineMessage(kMsgConnectionLost, 0);
    w.PostEngineMessage(kMsgEngineFailure, 7);
    QCoreApplication::processEvents();
    EXPECT_EQ(w.m_nState, 0);
}

TEST_F(PhoneDlgTest, UnsupportedLeavesKeysAndFlashesHangUp) {
    Dial(66);
    Window().OnUnsupported();
    EXPECT_EQ(Window().m_nState, 8);
    EXPECT_TRUE(Flashing(1002));
    EXPECT_EQ(Window().BuildDisplay().status, ResString(133));
}

TEST_F(PhoneDlgTest, DigitsAndTheKeyboard) {
    CPhoneDlg& w = Window();
    for (int c : {1007, 1016, 1008, 1009, 1010, 1011, 1012, 1013, 1014, 1015}) {
        w.OnDigit(c);
    }
    EXPECT_EQ(w.m_strDigits, "102345678");  // the tenth digit is ignored
    EXPECT_EQ(w.m_nPeerNumber, 102345678);

    QTest::keyClick(&w, Qt::Key_Backspace);
    EXPECT_EQ(w.m_nPeerNumber, -1);
    EXPECT_TRUE(w.m_strDigits.empty());
    QTest::keyClick(&w, Qt::Key_4);
    QTest::keyClick(&w, Qt::Key_0, Qt::KeypadModifier);
    EXPECT_EQ(w.m_strDigits, "40");
    EXPECT_EQ(w.BuildDisplay().peer, QStringLiteral(" 40"));

    // Esc in the ready state does nothing: the hang-up key is disabled.
    QTest::keyClick(&w, Qt::Key_Escape);
    EXPECT_TRUE(services.log.empty());
    w.close();
    EXPECT_TRUE(services.log.empty());
}

TEST_F(PhoneDlgTest, KeyboardDialsDuringACallToo) {
    Ring(906);
    Window().OnCallKey();
    EXPECT_FALSE(Enabled(1010));
    QTest::keyClick(&Window(), Qt::Key_5);
    EXPECT_EQ(Window().m_nPeerNumber, 5);
}

TEST_F(PhoneDlgTest, RequestsFromOutside) {
    CPhoneDlg& w = Window();
    EXPECT_EQ(w.HandleRequest({QStringLiteral("status")}),
              QStringLiteral("state=0 peer=0 seconds=0 incoming=0 auto=0 own=500 pid=%1 text=")
                      .arg(QCoreApplication::applicationPid()) +
                  ResString(125));
    EXPECT_TRUE(w.HandleRequest({QStringLiteral("answer")}).startsWith(QStringLiteral("error")));
    EXPECT_TRUE(w.HandleRequest({QStringLiteral("hangup")}).startsWith(QStringLiteral("error")));
    EXPECT_TRUE(w.HandleRequest({QStringLiteral("dial"), QStringLiteral("x")})
                    .startsWith(QStringLiteral("error")));
    EXPECT_EQ(w.HandleRequest({QStringLiteral("callto"), QStringLiteral("31")}),
              QStringLiteral("ok"));
    EXPECT_EQ(w.m_nPeerNumber, 31);
    EXPECT_EQ(w.m_nState, 0);  // a link only fills the number

    EXPECT_EQ(w.HandleRequest({QStringLiteral("dial"), QStringLiteral("32")}),
              QStringLiteral("ok"));
    ASSERT_TRUE(WaitFor([&] { return w.m_nState == 1; }));
    EXPECT_TRUE(Contains(services.log, "query 32"));
    EXPECT_TRUE(w.HandleRequest({QStringLiteral("dial"), QStringLiteral("33")})
                    .startsWith(QStringLiteral("error")));
    EXPECT_EQ(w.HandleRequest({QStringLiteral("hangup")}), QStringLiteral("ok"));
    ASSERT_TRUE(WaitFor([&] { return w.m_nState == 0; }));
}

TEST_F(PhoneDlgTest, HangingUpDuringTheLookUpAbandonsTheCall) {
    services.duringQuery = [this] { Window().OnHangUp(); };
    Dial(88);
    EXPECT_EQ(Window().m_nState, 0);
    EXPECT_FALSE(Contains(services.log, "request 10.1.2.3:4000"));
    EXPECT_FALSE(Contains(services.log, "message 148"));
    EXPECT_EQ(History(kHistoryMade).size(), 1u);
}

TEST_F(PhoneDlgTest, CallerGivesUpWhileTheAnswerIsReported) {
    Ring(907);
    services.duringReport = [this] { Window().EndCall(); };  // "ENDTALK" arrives
    Window().OnCallKey();
    EXPECT_EQ(Window().m_nState, 0);
    EXPECT_FALSE(Contains(services.log, "starttalk"));
    EXPECT_FALSE(Contains(services.engine, "receive"));
    EXPECT_EQ(History(kHistoryTaken).size(), 1u);
}
