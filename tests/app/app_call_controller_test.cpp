// The call controller against fakes of its view, network and engines, with
// time moved by hand. It links without Qt Widgets.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <array>
#include <thread>

#include "app/call_controller.h"
#include "app/rpc_request.h"
#include "call_fakes.h"
#include "platform/temp_dir.h"
#include "res/resource_ids.h"
#include "res/strings.h"
#include "store/call_history.h"
#include "support/book_records.h"

using namespace kestrona;
using namespace kestrona::testing;

namespace {

class CallControllerTest : public ::testing::Test {
  protected:
    CallControllerTest() {
        services.root = dir.path();
        std::filesystem::create_directories(dir.path() / "list");
        model.m_nID = 500;
        model.m_nRate = 0;
        model.m_nDelayBufferMs = 250;
        model.m_nAATime = 60;
        model.m_nForceBreak = 1;
        model.m_nAAFBTime = 30;
    }
    CCallController& C() {
        if (!controller) {
            controller = std::make_unique<CCallController>(services, model, clock);
            controller->SetView(&view);
        }
        return *controller;
    }
    std::vector<HistoryRecord> History(int type) {
        return ReadHistory(HistoryFile(type, dir.path()));
    }
    void Dial(int32_t number) {
        for (char c : std::to_string(number)) {
            C().OnCommand(c == '0' ? kCmdDigitLast : 1006 + (c - '0'));
        }
        C().OnCommand(kCmdCall);
    }
    void Ring(int32_t caller, int rate = 8000) {
        RequestCall request;
        request.nSampleRate = rate;
        request.nCallerId = caller;
        request.nDelayBufferMs = 500;
        services.peer = true;  // the caller's connection
        C().OnIncomingCall(request);
        C().BeginRecord(kHistoryMissed);
    }
    void Parameters(int rate = 8000) {
        Paramenter params;
        params.nSampleRate = rate;
        params.nPortIn = 7001;
        params.nPortOut = 7002;
        C().OnParameters(params);
    }
    bool Shown(int stringId) const {
        return std::find(view.messages.begin(), view.messages.end(), ResString(stringId)) !=
               view.messages.end();
    }

    kestrona::testing::TempDir dir;
    FakeServices services;
    FakeView view;
    FakeClock clock;
    SettingsModel model;
    std::unique_ptr<CCallController> controller;
};

// What the desktop is told, one line per event.
class FakeDesktop : public ICallDesktop {
  public:
    void CallOffered(int32_t number, const QString& name) override {
        log.push_back("offered " + std::to_string(number) + " " + name.toStdString());
    }
    void OfferEnded(Outcome outcome, int32_t number, const QString& name,
                    const std::string& stem) override {
        static const char* const words[] = {"answered", "refused", "missed", "message"};
        log.push_back(std::string("ended ") + words[int(outcome)] + " " + std::to_string(number) +
                      " " + name.toStdString() + (stem.empty() ? "" : " " + stem));
    }
    void MissedWhileBusy(int32_t number, const QString&) override {
        log.push_back("busy " + std::to_string(number));
    }
    void CallUp(bool up) override { log.push_back(up ? "up" : "down"); }
    Log log;
};

// ---- every state against every event ----

enum Event {
    kCallKey,
    kHangUpKey,
    kDigitKey,
    kClearKey,
    kRecordKey,
    kAutoKey,
    kParamRecord,
    kStartTalkRecord,
    kEndTalkRecord,
    kAutoAnswerRecord,
    kBusyRecord,
    kUnsupportedRecord,
    kLinkLost,
    kSetupFailed,
    kTenMinutes,
    kEventCount
};

// The state each event leaves, for each state it meets.
constexpr int kAfter[9][kEventCount] = {
    // call hang digit clear rec auto PARAM START END AUTO BUSY UNSUP lost setup time
    {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},  // 0 ready
    {1, 0, 1, 1, 1, 1, 1, 2, 0, 7, 4, 8, 6, 0, 1},  // 1 dialling, audio being set up
    {2, 0, 2, 2, 2, 2, 2, 2, 0, 2, 2, 2, 6, 2, 2},  // 2 talking
    {3, 0, 3, 3, 3, 3, 3, 3, 0, 3, 3, 3, 6, 0, 3},  // 3 ringing, audio being set up
    {4, 0, 4, 4, 4, 4, 4, 4, 0, 4, 4, 4, 4, 4, 4},  // 4 busy
    {5, 0, 5, 5, 5, 5, 5, 5, 0, 5, 5, 5, 5, 5, 5},  // 5 offline
    {6, 0, 6, 6, 6, 6, 6, 6, 0, 6, 6, 6, 6, 6, 6},  // 6 broken
    {7, 0, 7, 7, 7, 7, 7, 7, 0, 7, 7, 7, 6, 7, 0},  // 7 answering machine, forced break
    {8, 0, 8, 8, 8, 8, 8, 8, 0, 8, 8, 8, 8, 8, 8},  // 8 incompatible
};

class TransitionTest : public CallControllerTest,
                       public ::testing::WithParamInterface<std::tuple<int, int>> {
  protected:
    void Reach(int state) {
        switch (state) {
            case 0:
                C();
                break;
            case 1:
                Dial(777);
                Parameters();
                break;
            case 2:
                Dial(777);
                Parameters();
                services.Post(kMsgEngineSetup, 0);
                C().StartTalk();
                break;
            case 3:
                Ring(900);
                break;
            case 4:
                services.requestOk = false;
                services.duringRequest = [this] { C().OnBusy(); };
                Dial(777);
                break;
            case 5:
                services.queryCode = 20;
                Dial(777);
                break;
            case 6:
                Reach(2);
                services.Post(kMsgConnectionLost, 0);
                break;
            case 7:
                C().OnCommand(kCmdAuto);
                model.m_nAATime = 5;
                Ring(900);
                services.Post(kMsgEngineSetup, 0);
                clock.Advance(5000);
                break;
            case 8:
                Dial(777);
                C().OnUnsupported();
                break;
        }
        ASSERT_EQ(C().State(), state);
    }
    void Apply(int event) {
        switch (event) {
            case kCallKey:
                C().OnCommand(kCmdCall);
                break;
            case kHangUpKey:
                C().OnCommand(kCmdHangUp);
                break;
            case kDigitKey:
                C().OnCommand(1009);
                break;
            case kClearKey:
                C().OnCommand(kCmdClear);
                break;
            case kRecordKey:
                C().OnCommand(kCmdRecord);
                break;
            case kAutoKey:
                C().OnCommand(kCmdAuto);
                break;
            case kParamRecord:
                Parameters(8000);
                break;
            case kStartTalkRecord:
                C().StartTalk();
                break;
            case kEndTalkRecord:
                C().EndCall();
                break;
            case kAutoAnswerRecord:
                C().OnPeerAutoAnswer();
                break;
            case kBusyRecord:
                C().OnBusy();
                break;
            case kUnsupportedRecord:
                C().OnUnsupported();
                break;
            case kLinkLost:
                if (services.owner) {
                    services.Post(kMsgConnectionLost, 0);
                }
                break;
            case kSetupFailed:
                if (services.owner) {
                    services.Post(kMsgEngineSetup, kSetupProxyUnreachable);
                }
                break;
            case kTenMinutes:
                clock.Advance(600'000);
                break;
        }
    }
};

}  // namespace

TEST_P(TransitionTest, StateAfterEvent) {
    const auto [state, event] = GetParam();
    Reach(state);
    Apply(event);
    EXPECT_EQ(C().State(), kAfter[state][event]) << "state " << state << ", event " << event;
    // The keys always show what the controller holds.
    for (const auto& [command, look] : view.keys) {
        EXPECT_EQ(look, C().Key(command)) << "key " << command;
    }
    // PARAMENTER goes out before any answer: the caller drops what overtakes it.
    const auto params = std::find_if(services.log.begin(), services.log.end(),
                                     [](const std::string& e) { return e.starts_with("params"); });
    for (const char* answer : {"starttalk", "autoanswer"}) {
        const auto sent = std::find(services.log.begin(), services.log.end(), answer);
        EXPECT_TRUE(sent == services.log.end() || params < sent) << answer << " before PARAMENTER";
    }
    if (C().State() == kStateReady && state != kStateReady) {
        EXPECT_FALSE(C().HasEngine());
        EXPECT_FALSE(services.peer);
        EXPECT_FALSE(C().TimerActive(kTimerRing));
    }
}

INSTANTIATE_TEST_SUITE_P(EveryPair, TransitionTest,
                         ::testing::Combine(::testing::Range(0, 9),
                                            ::testing::Range(0, int(kEventCount))));

// ---- whole calls ----

TEST_F(CallControllerTest, DiallingWithoutANumberAsksForOne) {
    C().OnCallKey();
    EXPECT_TRUE(Shown(140));
    EXPECT_EQ(C().State(), 0);
    EXPECT_TRUE(services.rings.empty());
    C().EndCall();  // a stray "ENDTALK" finds no call to list
    EXPECT_TRUE(History(kHistoryMade).empty());
}

TEST_F(CallControllerTest, OfflineCallRingsOnUntilHangUpAndIsListedAsMade) {
    services.queryCode = 20;
    Dial(123);
    EXPECT_EQ(C().State(), 5);
    EXPECT_TRUE(view.keys[kCmdHangUp].flashing);
    clock.Advance(8000);  // the ring-back keeps sounding every 4 s
    EXPECT_EQ(services.rings, (Log{"ring/out.wav", "ring/out.wav", "ring/out.wav"}));
    EXPECT_FALSE(Contains(services.log, "request 10.1.2.3:4000"));

    C().OnHangUp();
    EXPECT_EQ(C().PeerNumber(), -1);
    EXPECT_FALSE(view.keys[kCmdHangUp].flashing);
    EXPECT_TRUE(Contains(services.log, "report 2 123 500 8"));
    const auto made = History(kHistoryMade);
    ASSERT_EQ(made.size(), 1u);
    EXPECT_EQ(made[0].number, 123);
    EXPECT_EQ(made[0].rate, 8000);
    EXPECT_TRUE(History(kHistoryTaken).empty());
}

TEST_F(CallControllerTest, OutgoingCallTalksRecordsAndEnds) {
    model.m_nRate = 4;
    Dial(777);
    EXPECT_TRUE(Contains(services.log, "request 10.1.2.3:4000"));
    EXPECT_FALSE(view.keys[kCmdCall].enabled);
    EXPECT_FALSE(view.keys[1007].enabled);

    Parameters(16000);
    EXPECT_EQ(services.engine, (Log{"init 16000 250", "connect 10.1.2.3 7001 7002"}));
    services.Post(kMsgEngineSetup, 0);
    EXPECT_EQ(C().State(), 1);

    C().StartTalk();
    clock.Advance(65'000);
    EXPECT_EQ(view.display.status, ResString(127) + QStringLiteral("16000kHZ"));
    EXPECT_EQ(view.display.time, QStringLiteral("00:01:05"));
    EXPECT_EQ(view.display.peer, QStringLiteral(" 777"));

    C().OnCommand(kCmdRecord);
    EXPECT_FALSE(view.keys[kCmdRecord].enabled);
    EXPECT_TRUE(Contains(services.engine, "record " + C().History().Stem()));

    C().OnHangUp();
    EXPECT_TRUE(Contains(services.log, "report 2 777 500 65"));
    EXPECT_TRUE(Contains(services.log, "endtalk"));
    EXPECT_EQ(services.engine.back(), "stop");
    const auto made = History(kHistoryMade);
    ASSERT_EQ(made.size(), 1u);
    EXPECT_EQ(made[0].rate, 16000);
    EXPECT_EQ(made[0].recorded, 1);
    C().EndCall();  // a second end of the same call writes nothing more
    EXPECT_EQ(History(kHistoryMade).size(), 1u);
}

TEST_F(CallControllerTest, BusyAndUnreachableCallee) {
    services.requestOk = false;
    services.duringRequest = [this] { C().OnBusy(); };
    Dial(42);
    EXPECT_EQ(C().State(), 4);
    EXPECT_FALSE(Shown(148));
    EXPECT_EQ(services.rings.back(), "ring/busy.wav");
    EXPECT_TRUE(view.keys[kCmdHangUp].flashing);
    C().OnHangUp();

    services.duringRequest = nullptr;
    Dial(43);
    EXPECT_EQ(C().State(), 1);
    EXPECT_TRUE(Shown(148));
}

TEST_F(CallControllerTest, IncomingCallAnsweredByTheUser) {
    Ring(900, 24000);
    EXPECT_TRUE(view.keys[kCmdCall].flashing);
    EXPECT_EQ(view.tray, Log{"flash 900"});
    EXPECT_EQ(services.engine, (Log{"init 8000 500", "listen 0 0"}));
    // PARAMENTER waits for the audio ports.
    EXPECT_FALSE(Contains(services.log, "params 8000 5001 5002"));
    services.Post(kMsgEngineSetup, 0);
    EXPECT_TRUE(Contains(services.log, "params 8000 5001 5002"));
    EXPECT_EQ(services.rings, Log{"ring/in.wav"});

    C().OnCallKey();
    EXPECT_EQ(C().State(), 2);
    EXPECT_FALSE(view.keys[kCmdCall].flashing);
    EXPECT_EQ(view.tray.back(), "still 900");
    EXPECT_TRUE(Contains(services.log, "report 1 900 500 0"));
    EXPECT_TRUE(Contains(services.log, "starttalk"));
    EXPECT_EQ(services.engine.back(), "send");

    C().EndCall();
    const auto taken = History(kHistoryTaken);
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].rate, 8000);
    EXPECT_TRUE(History(kHistoryMissed).empty());
}

TEST_F(CallControllerTest, MissedAndUserEndedRingingCalls) {
    Ring(901);
    C().EndCall();  // the caller gave up
    ASSERT_EQ(History(kHistoryMissed).size(), 1u);
    EXPECT_TRUE(view.keys[kCmdMissed].flashing);
    C().OnCommand(kCmdMissed);
    EXPECT_FALSE(view.keys[kCmdMissed].flashing);
    EXPECT_EQ(view.logsOpened, std::vector<int>{2});

    Ring(902);
    clock.Advance(7000);
    C().OnHangUp();  // counts as taken, with the seconds since it rang
    EXPECT_TRUE(Contains(services.log, "report 2 902 500 7"));
    EXPECT_EQ(History(kHistoryTaken).size(), 1u);
    EXPECT_EQ(History(kHistoryMissed).size(), 1u);
}

TEST_F(CallControllerTest, AnsweringMachineRecordsAndBreaksOff) {
    model.m_nAutoAA = 1;
    model.m_nAATime = 5;
    Ring(903);
    services.Post(kMsgEngineSetup, 0);
    clock.Advance(4999);
    EXPECT_EQ(C().State(), 3);
    clock.Advance(1);
    EXPECT_EQ(C().State(), 7);
    EXPECT_TRUE(Contains(services.log, "autoanswer"));
    EXPECT_TRUE(Contains(services.log, "report 3 903 500 0"));
    EXPECT_TRUE(Contains(services.engine, "receive"));
    EXPECT_FALSE(Contains(services.engine, "send"));
    clock.Advance(30'000);  // the forced break
    EXPECT_EQ(C().State(), 0);
    const auto missed = History(kHistoryMissed);
    ASSERT_EQ(missed.size(), 1u);
    EXPECT_EQ(missed[0].recorded, 1);
    EXPECT_TRUE(Contains(services.engine, "record " + missed[0].Stem()));
}

TEST_F(CallControllerTest, UserIsQuickerThanTheMachine) {
    C().OnAutoAnswerKey();
    EXPECT_TRUE(view.keys[kCmdAuto].checked);
    Ring(904);
    services.Post(kMsgEngineSetup, 0);
    EXPECT_TRUE(C().TimerActive(kTimerAutoAnswer));
    C().OnCallKey();
    EXPECT_FALSE(C().TimerActive(kTimerAutoAnswer));
    clock.Advance(600'000);
    EXPECT_EQ(C().State(), 2);
    C().EndCall();

    // The user answers while the machine's report goes out: one answer.
    Ring(905);
    services.Post(kMsgEngineSetup, 0);
    services.log.clear();
    services.duringReport = [this] { C().OnCallKey(); };
    clock.Advance(60'000);
    EXPECT_EQ(C().State(), 2);
    EXPECT_EQ(services.log, (Log{"report 3 905 500 0", "report 1 905 500 0", "starttalk"}));
}

TEST_F(CallControllerTest, CallerHearsTheGreetingThenOnlySends) {
    Dial(55);
    Parameters();
    services.Post(kMsgEngineSetup, 0);
    C().OnPeerAutoAnswer();
    EXPECT_EQ(C().State(), 7);
    EXPECT_EQ(services.rings.back(), "once ring/aa.wav");
    // The greeting plays while the phone stays live; sending starts after it.
    EXPECT_FALSE(Contains(services.engine, "send"));
    clock.Advance(2999);
    EXPECT_FALSE(Contains(services.engine, "send"));
    clock.Advance(1);
    EXPECT_EQ(services.engine.back(), "send");
    EXPECT_FALSE(Contains(services.engine, "receive"));
    EXPECT_EQ(view.display.time, QStringLiteral("00:00:00"));

    // Hanging up during the greeting sends nothing afterwards.
    C().OnHangUp();
    Dial(56);
    Parameters();
    C().OnPeerAutoAnswer();
    C().OnHangUp();
    const auto sends = std::count(services.engine.begin(), services.engine.end(), "send");
    clock.Advance(10'000);
    EXPECT_EQ(std::count(services.engine.begin(), services.engine.end(), "send"), sends);
}

// ---- the order of the callee's records ----

TEST_F(CallControllerTest, AnAnswerBeforeTheAudioSetUpWaitsForParameters) {
    // The call key, and the outside "answer", while the ports are opened.
    for (const bool byRequest : {false, true}) {
        services.log.clear();
        Ring(920);
        if (byRequest) {
            EXPECT_EQ(C().RequestAnswer(), CCallController::RequestResult::kAccepted);
            QCoreApplication::sendPostedEvents();
        } else {
            C().OnCallKey();
        }
        EXPECT_EQ(C().State(), 3);
        EXPECT_FALSE(Contains(services.log, "starttalk"));
        services.Post(kMsgEngineSetup, 0);
        EXPECT_EQ(services.log, (Log{"params 8000 5001 5002", "report 1 920 500 0", "starttalk"}));
        EXPECT_EQ(C().State(), 2);
        EXPECT_EQ(services.engine.back(), "send");
        C().EndCall();
    }

    // The machine, with a wait of 0.
    C().OnAutoAnswerKey();
    model.m_nAATime = 0;
    services.log.clear();
    Ring(921);
    clock.Advance(1);
    EXPECT_EQ(C().State(), 3);
    services.Post(kMsgEngineSetup, 0);
    EXPECT_EQ(services.log, (Log{"params 8000 5001 5002", "report 3 921 500 0", "autoanswer"}));
    EXPECT_EQ(C().State(), 7);
    EXPECT_TRUE(C().TimerActive(kTimerForceBreak));
    C().EndCall();

    // A held answer goes with a failed set-up.
    services.log.clear();
    Ring(922);
    clock.Advance(1);
    C().OnCallKey();
    services.Post(kMsgEngineSetup, kSetupTimedOut);
    EXPECT_EQ(C().State(), 0);
    EXPECT_EQ(services.log, Log{"endtalk"});
    clock.Advance(600'000);
    EXPECT_EQ(services.log, Log{"endtalk"});
}

TEST_F(CallControllerTest, ABadParameterRecordEndsTheCall) {
    struct Bad {
        int rate, in, out;
    };
    for (const Bad bad :
         {Bad{1'000'000'000, 7001, 7002}, Bad{16000, 7001, 7002}, Bad{11025, 7001, 7002},
          Bad{8000, 0, 7002}, Bad{8000, 7001, 2147483647}, Bad{8000, -1, 65536}}) {
        view.messages.clear();
        int stateAtBox = -1;
        view.onMessage = [&] { stateAtBox = C().State(); };
        Dial(930);
        Paramenter params;
        params.nSampleRate = bad.rate;
        params.nPortIn = bad.in;
        params.nPortOut = bad.out;
        C().OnParameters(params);
        EXPECT_EQ(C().State(), 0) << bad.rate << " " << bad.in << " " << bad.out;
        EXPECT_EQ(stateAtBox, 0);
        EXPECT_EQ(view.messages, std::vector<QString>{ResString(res::kStrBadCallParameters)});
        EXPECT_TRUE(services.engine.empty());
    }
    EXPECT_EQ(History(kHistoryMade).size(), 6u);
    EXPECT_FALSE(ResString(res::kStrBadCallParameters).isEmpty());

    // The callee sizes nothing by what the caller proposes.
    RequestCall request;
    request.nSampleRate = 1'000'000'000;
    request.nCallerId = 931;
    request.nDelayBufferMs = 2'000'000'000;
    C().OnIncomingCall(request);
    EXPECT_EQ(services.engine, (Log{"init 8000 5000", "listen 0 0"}));
}

// ---- one call at a time, and never one that has ended ----

TEST_F(CallControllerTest, NothingActsOnACallThatHasEnded) {
    // A set-up failure's box comes after the end; a call that rings in while
    // it is open is left alone.
    Ring(940);
    int stateAtBox = -1;
    view.onMessage = [&] {
        stateAtBox = C().State();
        Ring(941);
    };
    services.Post(kMsgEngineSetup, kSetupListenFailed);
    EXPECT_EQ(stateAtBox, 0);
    EXPECT_EQ(C().State(), 3);
    EXPECT_EQ(C().PeerNumber(), 941);
    EXPECT_TRUE(C().HasEngine());
    C().EndCall();
    EXPECT_EQ(History(kHistoryMissed).size(), 2u);

    // A hang-up whose call the peer ended during the report.
    Ring(942);
    services.duringReport = [this] {
        C().EndCall();
        Ring(943);
    };
    C().OnHangUp();
    EXPECT_EQ(C().State(), 3);
    EXPECT_EQ(C().PeerNumber(), 943);

    // An outside answer that runs after its call ended starts no other.
    C().RequestAnswer();
    C().EndCall();
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(C().State(), 0);
    EXPECT_EQ(view.messages, std::vector<QString>{ResString(150)});
}

TEST_F(CallControllerTest, ACallerMeetsAPhoneThatIsPlacingACall) {
    RequestCall request;
    request.nSampleRate = 8000;
    request.nCallerId = 950;
    request.nDelayBufferMs = 500;
    bool placing = false;
    services.duringQuery = [&] {
        placing = C().PlacingCall();
        // A request that reaches the controller anyway is not a second call.
        C().OnIncomingCall(request);
        C().BeginRecord(kHistoryMissed);
    };
    Dial(951);
    EXPECT_TRUE(placing);
    EXPECT_EQ(C().State(), 1);
    EXPECT_EQ(C().PeerNumber(), 951);
    EXPECT_TRUE(Contains(services.log, "request 10.1.2.3:4000"));
    // Links and dialling from outside leave the call's peer alone.
    EXPECT_EQ(C().RequestCallTo(31), CCallController::RequestResult::kBusy);
    EXPECT_EQ(C().RequestDial(31), CCallController::RequestResult::kBusy);
    EXPECT_EQ(C().PeerNumber(), 951);
    C().OnHangUp();
    EXPECT_FALSE(C().PlacingCall());
    EXPECT_TRUE(History(kHistoryMissed).empty());
    ASSERT_EQ(History(kHistoryMade).size(), 1u);
    EXPECT_EQ(History(kHistoryMade)[0].number, 951);

    Ring(952);
    EXPECT_FALSE(C().PlacingCall());
    C().OnIncomingCall(request);  // sent twice on one connection
    EXPECT_EQ(C().PeerNumber(), 952);
}

// ---- the engine's messages ----

TEST_F(CallControllerTest, AudioSetupFailureEndsTheCallAndSaysWhy) {
    Ring(905);
    services.Post(kMsgEngineSetup, kSetupListenFailed);
    EXPECT_EQ(C().State(), 0);
    EXPECT_TRUE(Shown(150));
    EXPECT_TRUE(Contains(services.log, "endtalk"));
    EXPECT_FALSE(Contains(services.log, "params 8000 5001 5002"));
    EXPECT_EQ(History(kHistoryMissed).size(), 1u);

    Dial(906);
    Parameters();
    // The proxy's code during the set-up is told by the set-up's result.
    services.Post(kMsgEngineFailure, kProxyUnreachable);
    services.Post(kMsgEngineSetup, kSetupTimedOut);
    EXPECT_EQ(C().State(), 0);
    EXPECT_EQ(view.messages.back(), ResString(156));
    EXPECT_EQ(view.messages.size(), 2u);

    Dial(907);
    Parameters();
    services.Post(kMsgEngineSetup, 99);  // a code without a text of its own
    EXPECT_EQ(view.messages.back(), ResString(151));
}

TEST_F(CallControllerTest, SoundDeviceTroubleIsToldWithoutABox) {
    // A missing device at the engine's start: not while the answering
    // machine may take the call, then once a run on the state line.
    model.m_nAutoAA = 1;
    model.m_nAATime = 5;
    Ring(908);
    services.Post(kMsgEngineSetup, 0);
    services.Post(kMsgEngineFailure, kNoWaveIn);
    clock.Advance(5000);
    EXPECT_EQ(C().State(), 7);
    EXPECT_TRUE(C().Notice().isEmpty());
    C().EndCall();

    C().OnAutoAnswerKey();
    Ring(909);
    services.Post(kMsgEngineFailure, kNoWaveOut);
    services.Post(kMsgEngineFailure, kWaveOutFormat);
    services.Post(kMsgEngineSetup, 0);
    EXPECT_EQ(C().Notice(), ResString(159));
    EXPECT_TRUE(view.display.status.endsWith(ResString(159)));
    EXPECT_TRUE(view.keys[kCmdCall].enabled);
    C().OnCallKey();
    EXPECT_EQ(C().State(), 2);
    C().EndCall();
    EXPECT_TRUE(C().Notice().isEmpty());

    Dial(910);
    Parameters();
    services.Post(kMsgEngineFailure, kNoWaveIn);
    EXPECT_TRUE(C().Notice().isEmpty());

    // A device lost during a call: once a call, whatever says it.
    services.Post(kMsgEngineSetup, 0);
    C().StartTalk();
    services.Post(kMsgEngineFailure, kWaveInOpenFailed);
    services.Post(kMsgEngineFailure, kWaveOutOpenFailed);
    services.owner->ShowEngineAlert("Wave In Device Open Failed");
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(C().Notice(), ResString(162));
    EXPECT_EQ(C().State(), 2);
    C().OnHangUp();
    Ring(911);
    services.Post(kMsgEngineFailure, kWaveOutOpenFailed);
    EXPECT_EQ(C().Notice(), ResString(163));
    EXPECT_TRUE(view.messages.empty());
}

TEST_F(CallControllerTest, AnEndedEnginesLateMessagesAreDropped) {
    Dial(910);
    Parameters();
    services.Post(kMsgEngineSetup, 0);
    C().StartTalk();
    // Posted just before the engine stopped, delivered after.
    services.owner->PostEngineMessage(kMsgConnectionLost, 0);
    services.owner->PostEngineMessage(kMsgEngineFailure, kNoWaveOut);
    C().OnHangUp();
    Ring(911);  // the next call has an engine of its own
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(C().State(), 3);
    EXPECT_TRUE(view.messages.empty());
}

TEST_F(CallControllerTest, EngineThreadsPostWithoutLocks) {
    Dial(912);
    Parameters();
    IEngineOwner* owner = services.owner;
    std::thread engineThread([owner] {
        owner->PostEngineMessage(kMsgEngineSetup, 0);
        owner->PostEngineMessage(kMsgConnectionLost, 0);
    });
    engineThread.join();
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(C().State(), 6);
}

// ---- keys, digits and the display ----

TEST_F(CallControllerTest, DigitsKeysAndTheDialogsBehindThem) {
    for (int c : {1007, 1016, 1008, 1009, 1010, 1011, 1012, 1013, 1014, 1015}) {
        C().OnCommand(c);
    }
    EXPECT_EQ(C().Digits(), "102345678");  // the tenth digit is ignored
    EXPECT_EQ(C().PeerNumber(), 102345678);
    EXPECT_EQ(view.display.peer, QStringLiteral(" 102345678"));
    C().OnCommand(kCmdClear);
    EXPECT_EQ(C().PeerNumber(), -1);
    EXPECT_TRUE(view.display.peer.isEmpty());

    view.bookResult = 4;
    view.bookNumber = 4711;
    view.bookName = QStringLiteral("Ada");
    C().OnCommand(kCmdPhoneBook);
    EXPECT_EQ(view.display.peer, QStringLiteral("Ada 4711"));
    EXPECT_EQ(C().State(), 0);  // no call is started
    view.logResult = 1;
    view.logNumber = 99;
    C().OnCommand(kCmdMade);
    EXPECT_EQ(C().PeerNumber(), 99);
    C().OnCommand(kCmdSetup);
    EXPECT_EQ(view.optionsRun, 1);

    // Keyboard digits reach the number during a call; the keys do not.
    Ring(913);
    C().OnCallKey();
    C().OnCommand(1011);
    EXPECT_EQ(C().PeerNumber(), 913);
    C().OnDigit(KeyboardDigitCommand(5));
    EXPECT_EQ(C().PeerNumber(), 5);
}

TEST_F(CallControllerTest, ExitEndsTheCallFirst) {
    Ring(914);
    C().OnCommand(kCmdExit);
    EXPECT_EQ(C().State(), 0);
    EXPECT_TRUE(Contains(services.log, "endtalk"));
    EXPECT_EQ(view.exits, 1);
}

TEST_F(CallControllerTest, OutOfRangeConnectionTypeTalksAt8000) {
    model.m_nRate = 9;
    Ring(915, 24000);
    EXPECT_EQ(services.engine.front(), "init 8000 500");
}

// ---- waits that let other handlers run ----

TEST_F(CallControllerTest, HangingUpDuringTheLookUpAbandonsTheCall) {
    services.duringQuery = [this] { C().OnHangUp(); };
    Dial(88);
    EXPECT_EQ(C().State(), 0);
    EXPECT_FALSE(Contains(services.log, "request 10.1.2.3:4000"));
    EXPECT_FALSE(Shown(148));
    EXPECT_EQ(History(kHistoryMade).size(), 1u);
}

TEST_F(CallControllerTest, CallerGivesUpWhileTheAnswerIsReported) {
    Ring(907);
    services.Post(kMsgEngineSetup, 0);
    services.duringReport = [this] { C().EndCall(); };
    C().OnCallKey();
    EXPECT_EQ(C().State(), 0);
    EXPECT_FALSE(Contains(services.log, "starttalk"));
    EXPECT_FALSE(Contains(services.engine, "receive"));
    EXPECT_EQ(History(kHistoryTaken).size(), 1u);
}

// ---- requests from outside ----

TEST_F(CallControllerTest, RequestsFromOutside) {
    auto rpc = [this](const QStringList& words) {
        const RpcParse parsed = ParseRpcWords(words);
        return parsed.request ? RunRpcRequest(C(), *parsed.request) : parsed.error;
    };
    EXPECT_EQ(rpc({QStringLiteral("status")}),
              QStringLiteral("state=0 peer=0 seconds=0 incoming=0 auto=0 own=500 pid=%1 text=")
                      .arg(QCoreApplication::applicationPid()) +
                  ResString(125));
    EXPECT_TRUE(rpc({QStringLiteral("answer")}).startsWith(QStringLiteral("error")));
    EXPECT_TRUE(rpc({QStringLiteral("hangup")}).startsWith(QStringLiteral("error")));
    EXPECT_EQ(rpc({QStringLiteral("callto"), QStringLiteral("31")}), QStringLiteral("ok"));
    EXPECT_EQ(C().PeerNumber(), 31);
    EXPECT_EQ(C().State(), 0);  // a link only fills the number

    EXPECT_EQ(rpc({QStringLiteral("dial"), QStringLiteral("32")}), QStringLiteral("ok"));
    EXPECT_EQ(C().State(), 0);  // the answer goes out first
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(C().State(), 1);
    EXPECT_TRUE(Contains(services.log, "query 32"));
    EXPECT_TRUE(rpc({QStringLiteral("dial"), QStringLiteral("33")})
                    .startsWith(QStringLiteral("error the phone is busy")));
    EXPECT_EQ(rpc({QStringLiteral("hangup")}), QStringLiteral("ok"));
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(C().State(), 0);
    EXPECT_EQ(rpc({QStringLiteral("quit")}), QStringLiteral("ok"));
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(view.exits, 1);
}

// Whatever does not parse is answered with an error and never reaches the
// controller: no digits typed, no call placed.
TEST_F(CallControllerTest, MalformedRequestsAreRefusedBeforeTheController) {
    const QStringList bad[] = {
        {},
        {QStringLiteral("dial")},
        {QStringLiteral("dial"), QStringLiteral("x")},
        {QStringLiteral("dial"), QStringLiteral("0")},
        {QStringLiteral("dial"), QStringLiteral("-4")},
        {QStringLiteral("dial"), QStringLiteral("+5")},
        {QStringLiteral("dial"), QStringLiteral(" 5")},
        {QStringLiteral("dial"), QStringLiteral("2147483648")},
        {QStringLiteral("dial"), QStringLiteral("99999999999999999999")},
        {QStringLiteral("dial"), QStringLiteral("12"), QStringLiteral("13")},
        {QStringLiteral("callto"), QStringLiteral("1e3")},
        {QStringLiteral("status"), QStringLiteral("now")},
        {QStringLiteral("DIAL"), QStringLiteral("5")},
        {QStringLiteral("show")},
    };
    for (const QStringList& words : bad) {
        const RpcParse parsed = ParseRpcWords(words);
        EXPECT_FALSE(parsed.request) << words.join(QLatin1Char(' ')).toStdString();
        EXPECT_TRUE(parsed.error.startsWith(QStringLiteral("error ")));
    }
    EXPECT_EQ(ParseRpcWords({QStringLiteral("dial"), QStringLiteral("2147483647")}).request->number,
              2147483647);

    // The channel: a second start's link and "show", or "rpc" and words.
    EXPECT_FALSE(ParseChannelRequest({QStringLiteral("callto"), QStringLiteral("abc")}).request);
    EXPECT_FALSE(ParseChannelRequest({QStringLiteral("rpc")}).request);
    EXPECT_FALSE(ParseChannelRequest({QStringLiteral("status")}).request);
    const RpcParse link = ParseChannelRequest({QStringLiteral("callto"), QStringLiteral("77")});
    ASSERT_TRUE(link.request);
    EXPECT_EQ(link.request->verb, RpcVerb::kCallTo);
    EXPECT_FALSE(link.request->fromRpc);
    EXPECT_TRUE(
        ParseChannelRequest({QStringLiteral("rpc"), QStringLiteral("dial"), QStringLiteral("77")})
            .request->fromRpc);

    EXPECT_EQ(C().PeerNumber(), 0);
    EXPECT_TRUE(C().Digits().empty());
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(C().State(), 0);
    EXPECT_TRUE(services.log.empty());
}

// An encrypted call: the callee is warned of a changed identity while it
// rings and remembers it only once answered; each side seals the stream it
// sends with the key of that stream. A refused offer is made again at once
// without encryption, unless encryption is required: then the call ends
// with a box.
TEST_F(CallControllerTest, EncryptedCallsWarnRememberAndFallBack) {
    CallKeys keys;
    keys.sas = "K7QX";
    keys.audio[kAudioToCalleeIn].bytes[0] = 1;
    keys.audio[kAudioFromCalleeOut].bytes[0] = 2;
    services.identity = PeerIdentity::kChanged;
    RequestCall request;
    request.nSampleRate = 8000;
    request.nCallerId = 900;
    request.nDelayBufferMs = 500;
    services.peer = true;
    C().OnSecuredIncomingCall(request, keys);
    EXPECT_EQ(C().State(), kStateRinging);
    EXPECT_TRUE(Contains(services.engine, "keys 2 1"));
    EXPECT_TRUE(view.display.peer.contains(QStringLiteral("K7QX")))
        << view.display.peer.toStdString();
    EXPECT_TRUE(view.display.status.contains(ResString(res::kStrIdentityChanged)));
    EXPECT_FALSE(Contains(services.log, "remember 900"));
    services.Post(kMsgEngineSetup, 0);
    C().OnCallKey();
    EXPECT_EQ(C().State(), kStateTalking);
    EXPECT_TRUE(Contains(services.log, "remember 900"));
    C().OnHangUp();
    EXPECT_FALSE(view.display.peer.contains(QStringLiteral("K7QX")));

    // The caller seals with the other stream's key.
    services.identity = PeerIdentity::kSame;
    Dial(700);
    C().OnCallSecured(keys);
    Parameters();
    EXPECT_TRUE(Contains(services.engine, "keys 1 2"));
    C().StartTalk();
    EXPECT_FALSE(Contains(services.log, "remember 700"));
    C().OnHangUp();

    // Preferred: the offer refused, the same callee is asked again without
    // calls in frames (a phone that only encrypts), then plain.
    services.log.clear();
    Dial(700);
    C().OnEncryptionRefused();
    QCoreApplication::sendPostedEvents();
    C().OnEncryptionRefused();
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(services.log, (Log{"query 700", "request 10.1.2.3:4000", "drop",
                                 "no-media 10.1.2.3:4000", "drop", "plain 10.1.2.3:4000"}));
    EXPECT_EQ(C().State(), kStateDialling);
    EXPECT_TRUE(view.messages.empty());
    C().OnHangUp();

    // Required: the call ends and the user is told why.
    model.m_encryption = Encryption::kRequired;
    services.log.clear();
    Dial(700);
    C().OnEncryptionRefused();
    QCoreApplication::sendPostedEvents();
    EXPECT_TRUE(Contains(services.log, "no-media 10.1.2.3:4000"));
    C().OnEncryptionRefused();
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(C().State(), kStateReady);
    EXPECT_FALSE(Contains(services.log, "plain 10.1.2.3:4000"));
    EXPECT_TRUE(Shown(res::kStrPeerCannotEncrypt));
}

// Calls in frames: a callee takes what it can of the offer (Opus only in
// short frames, at 16 kHz whatever the connection types below it), a phone
// set to plain calls takes nothing, and a caller ends a call whose answer
// takes what it never offered or names a rate Opus would not choose.
TEST_F(CallControllerTest, CallsInFramesAreTakenAndChecked) {
    struct Offer {
        int32_t features;
        int rate;
        int32_t plain;
        int32_t taken;
        int32_t callRate;
    };
    for (const Offer& o :
         {Offer{kMediaFeatures, 8000, 0, kMediaFeatures, 16000},
          Offer{kMediaFeatures | kFeatureEncryptedCall, 24000, 0, kMediaFeatures, 16000},
          Offer{kFeatureShortFrames, 12000, 0, kFeatureShortFrames, 8000},
          Offer{kFeatureOpus, 8000, 0, 0, 8000}, Offer{kMediaFeatures, 8000, 1, 0, 8000}}) {
        SCOPED_TRACE(o.features);
        model.m_nPlainCalls = o.plain;
        services.engine.clear();
        RequestCall request;
        request.nSampleRate = o.rate;
        request.nCallerId = 900;
        request.nFeatures = o.features;
        request.nDelayBufferMs = 500;
        services.peer = true;
        C().OnIncomingCall(request);
        EXPECT_EQ(C().Params().nFeatures, o.taken);
        EXPECT_EQ(C().Params().nSampleRate, o.callRate);
        EXPECT_EQ(Contains(services.engine, "media " + std::to_string(o.taken)), o.taken != 0);
        C().OnHangUp();
    }
    model.m_nPlainCalls = 0;
    model.m_nRate = 4;  // 24000 Hz: Opus may go super-wideband
    services.engine.clear();
    Dial(700);
    Paramenter answer{24000, 7001, 7002, kMediaFeatures};
    C().OnParameters(answer);
    EXPECT_TRUE(Contains(services.engine, "media 6"));
    EXPECT_EQ(C().Params().nSampleRate, 24000);
    C().OnHangUp();
    for (const Paramenter& bad : {Paramenter{22050, 7001, 7002, kMediaFeatures},
                                  Paramenter{16000, 7001, 7002, kFeatureOpus},
                                  Paramenter{16000, 7001, 7002, kMediaFeatures | 8}}) {
        view.messages.clear();
        Dial(700);
        C().OnParameters(bad);
        EXPECT_EQ(C().State(), kStateReady);
        EXPECT_TRUE(Shown(res::kStrBadCallParameters));
    }
    // A caller set to plain calls offered nothing and takes nothing.
    model.m_nPlainCalls = 1;
    model.m_nRate = 0;
    view.messages.clear();
    Dial(700);
    C().OnParameters(Paramenter{16000, 7001, 7002, kMediaFeatures});
    EXPECT_TRUE(Shown(res::kStrBadCallParameters));
}

// ---- the controls of a call ----

// Mute and the loudspeaker's steps act on the call's engine at once, and the
// display marks a muted call; outside a call they do nothing, and the next
// call starts unmuted. A caller told busy meanwhile is a missed call at once
// and is named on the display when the call is over.
TEST_F(CallControllerTest, ControlsOfACallAndCallersWhileBusy) {
    auto rpc = [this](const QStringList& words) {
        const RpcParse parsed = ParseRpcWords(words);
        return parsed.request ? RunRpcRequest(C(), *parsed.request) : parsed.error;
    };
    C().OnMute();
    C().StepSpeakerLevel(1);
    EXPECT_FALSE(C().Muted());
    EXPECT_EQ(model.m_nSpeakerLevel, kDefaultLevel);
    EXPECT_TRUE(
        rpc({QStringLiteral("mute"), QStringLiteral("on")}).startsWith(QStringLiteral("error")));
    EXPECT_TRUE(
        rpc({QStringLiteral("mute"), QStringLiteral("maybe")}).startsWith(QStringLiteral("error")));

    Ring(900);
    services.Post(kMsgEngineSetup, 0);
    C().OnCallKey();
    ASSERT_EQ(C().State(), 2);
    C().OnCommand(kCmdMute);
    EXPECT_TRUE(C().Muted());
    EXPECT_EQ(services.engine.back(), "mute");
    EXPECT_TRUE(view.display.status.contains(ResString(res::kStrMuted)));
    EXPECT_TRUE(rpc({QStringLiteral("display")}).endsWith(QStringLiteral("muted=1")));
    EXPECT_EQ(rpc({QStringLiteral("mute"), QStringLiteral("off")}), QStringLiteral("ok"));
    EXPECT_EQ(services.engine.back(), "unmute");
    EXPECT_FALSE(view.display.status.contains(ResString(res::kStrMuted)));

    C().StepSpeakerLevel(1);
    EXPECT_EQ(services.engine.back(), "levels 100 110");
    EXPECT_EQ(model.m_nSpeakerLevel, 110);
    C().StepSpeakerLevel(-30);
    EXPECT_EQ(services.engine.back(), "levels 100 0");
    model.m_nMicLevel = 150;
    C().OnLevelsChanged();
    EXPECT_EQ(services.engine.back(), "levels 150 0");

    C().OnCallWhileBusy(3003);
    C().OnCallWhileBusy(3003);
    C().OnCallWhileBusy(4004);
    const auto missed = History(kHistoryMissed);
    ASSERT_EQ(missed.size(), 3u);
    EXPECT_EQ(missed[0].number, 3003);
    EXPECT_EQ(missed[2].number, 4004);
    EXPECT_TRUE(view.keys[kCmdMissed].flashing);
    EXPECT_FALSE(view.display.status.contains(QStringLiteral("3003")));

    C().OnMute();
    C().OnHangUp();
    EXPECT_EQ(C().State(), 0);
    EXPECT_FALSE(C().Muted());
    EXPECT_TRUE(view.display.status.contains(
        ResString(res::kStrCalledWhileBusy).arg(QStringLiteral("3003, 4004"))));
    EXPECT_EQ(History(kHistoryTaken).size(), 1u);

    services.engine.clear();
    Ring(901);
    EXPECT_FALSE(C().Muted());
    EXPECT_FALSE(Contains(services.engine, "mute"));
    EXPECT_FALSE(view.display.status.contains(QStringLiteral("3003")));
}

// Each ringing call tells the desktop once how its ringing ended, whichever
// way it ended; speech up and down is told once each, on both sides.
TEST_F(CallControllerTest, TheDesktopHearsHowEachRingingEndsAndWhileSpeechFlows) {
    ASSERT_EQ(SaveBook({kestrona::test::Group(1, "g")}, {kestrona::test::Person(901, "Zoe", 1)},
                       dir.path()),
              SaveBookResult::kSaved);
    FakeDesktop desktop;
    C().SetDesktop(&desktop);

    Ring(901);
    C().EndCall();  // the caller gave up
    Ring(902);
    C().OnHangUp();  // refused here
    EXPECT_EQ(desktop.log, (Log{"offered 901 Zoe", "ended missed 901 Zoe", "offered 902 ",
                                "ended refused 902 "}));

    // Answered, also before the audio ports are open, then ended by either side.
    desktop.log.clear();
    Ring(903);
    services.Post(kMsgEngineSetup, 0);
    C().OnCallKey();
    C().EndCall();
    Ring(904);
    C().OnCallKey();
    EXPECT_EQ(desktop.log.back(), "ended answered 904 ");
    services.Post(kMsgEngineSetup, 0);
    ASSERT_EQ(C().State(), 2);
    C().OnHangUp();
    EXPECT_EQ(desktop.log, (Log{"offered 903 ", "ended answered 903 ", "up", "down", "offered 904 ",
                                "ended answered 904 ", "up", "down"}));

    // The answering machine took it and the caller spoke: a message, named
    // by its recording.
    desktop.log.clear();
    C().OnAutoAnswerKey();
    Ring(905);
    services.Post(kMsgEngineSetup, 0);
    clock.Advance(60'000);
    ASSERT_EQ(C().State(), 7);
    const std::string stem = C().History().Stem();
    C().EndCall();
    EXPECT_EQ(desktop.log, (Log{"offered 905 ", "up", "down", "ended message 905  " + stem}));
    C().OnAutoAnswerKey();

    // The caller's side: speech only, no offer; a busy caller meanwhile.
    desktop.log.clear();
    Dial(55);
    Parameters();
    services.Post(kMsgEngineSetup, 0);
    C().StartTalk();
    C().OnCallWhileBusy(3003);
    C().OnHangUp();
    C().EndCall();  // a second end tells nothing more
    EXPECT_EQ(desktop.log, (Log{"up", "busy 3003", "down"}));
    C().SetDesktop(nullptr);
}
