// Drives the call controller, with the fakes of its tests, through sequences
// of keys, peer records, engine messages (delivered late as well), outside
// requests and time, with the nested handlers that the network waits and the
// message boxes run. After every step it checks what must always hold: one
// call at a time, PARAMENTER before the answer on the wire, an engine only
// while a call has audio, one history record per call.
#include <QCoreApplication>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <system_error>

#include "app/call_controller.h"
#include "store/call_history.h"
#include "tests/app/call_fakes.h"

using namespace kestrona;
using namespace kestrona::testing;

namespace {

[[noreturn]] void Fail(const char* why) {
    std::fprintf(stderr, "invariant broken: %s\n", why);
    std::abort();
}

class Input {
  public:
    Input(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    bool Empty() const { return m_pos >= m_size; }
    uint8_t Byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    int32_t Int() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            v = v << 8 | Byte();
        }
        return static_cast<int32_t>(v);
    }

  private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

// The wire as the callee's peer sees it, checked as it is written.
struct CheckedServices : FakeServices {
    const CCallController* controller = nullptr;
    int paramsCall = -1;    // the call whose PARAMENTER went out
    int answeredCall = -1;  // the call whose answer went out

    void SendParameters(const Paramenter& p) override {
        FakeServices::SendParameters(p);
        paramsCall = controller->CallSerial();
    }
    void SendStartTalk() override {
        FakeServices::SendStartTalk();
        Answered();
    }
    void SendAutoAnswer() override {
        FakeServices::SendAutoAnswer();
        Answered();
    }
    void Answered() {
        if (paramsCall != controller->CallSerial()) {
            Fail("an answer went out before PARAMENTER");
        }
        if (answeredCall == controller->CallSerial()) {
            Fail("a call was answered twice");
        }
        answeredCall = controller->CallSerial();
    }
};

constexpr int32_t kRates[] = {8000, 12000, 16000, 22050, 24000};
constexpr int kSteps[] = {1, 999, 1000, 2000, 4000, 5000, 30'000, 600'000};

class Session {
  public:
    Session(Input& in, const std::filesystem::path& root) : m_in(in) {
        m_services.root = root;
        m_model.m_nID = 500;
        m_model.m_nRate = m_in.Byte() % 6;  // 5: a hand-edited type
        m_model.m_nAutoAA = m_in.Byte() & 1;
        m_model.m_nAATime = m_in.Byte() % 3 * 5;  // 0, 5 or 10 s
        m_model.m_nForceBreak = m_in.Byte() & 1;
        m_model.m_nAAFBTime = 30;
        m_model.m_nDelayBufferMs = 250;
        m_controller = std::make_unique<CCallController>(m_services, m_model, m_clock);
        m_controller->SetView(&m_view);
        m_services.controller = m_controller.get();
    }

    void Run() {
        while (!m_in.Empty()) {
            Step(0);
        }
        // The program's end ends the call that is up.
        QCoreApplication::sendPostedEvents();
        C().OnCommand(kCmdExit);
        QCoreApplication::sendPostedEvents();
        Check();
    }

    // Calls begun: each outgoing one looks its number up, each incoming one
    // opens its audio ports.
    size_t Calls() const {
        return std::count_if(m_services.log.begin(), m_services.log.end(),
                             [](const std::string& e) { return e.starts_with("query "); }) +
               std::count_if(m_services.engine.begin(), m_services.engine.end(),
                             [](const std::string& e) { return e.starts_with("listen "); });
    }

    ~Session() {
        m_controller->SetView(nullptr);
        m_controller.reset();
        QCoreApplication::sendPostedEvents();
    }

  private:
    CCallController& C() { return *m_controller; }

    // Some of the next steps run inside a wait or a box, as the event loop
    // nested there would run them.
    std::function<void()> Nested(int depth) {
        if (depth >= 2) {
            return nullptr;
        }
        const int count = m_in.Byte() % 3;
        if (count == 0) {
            return nullptr;
        }
        return [this, depth, count] {
            for (int i = 0; i < count && !m_in.Empty(); ++i) {
                Step(depth + 1);
            }
        };
    }

    void Step(int depth) {
        const int stateBefore = C().State();
        const int callBefore = C().CallSerial();
        const int32_t peerBefore = C().PeerNumber();
        const bool incomingBefore = C().Incoming();
        const uint8_t op = m_in.Byte();
        switch (op % 20) {
            case 0:
                m_services.duringQuery = Nested(depth);
                m_services.duringRequest = Nested(depth);
                m_services.requestOk = m_in.Byte() & 1;
                m_services.queryCode = m_in.Byte() & 1 ? 10 : 20;
                C().OnCommand(kCmdCall);
                m_services.duringQuery = nullptr;
                m_services.duringRequest = nullptr;
                break;
            case 1:
                m_services.duringReport = Nested(depth);
                C().OnCommand(kCmdHangUp);
                break;
            case 2:
                C().OnCommand(kCmdDigitFirst + m_in.Byte() % 10);
                break;
            case 3:
                C().OnCommand(m_in.Byte() & 1 ? kCmdClear : kCmdRecord);
                break;
            case 4:
                C().OnCommand(kCmdAuto);
                break;
            case 5: {
                RequestCall request;
                const uint8_t how = m_in.Byte();
                request.nSampleRate = how & 1 ? m_in.Int() : kRates[how / 2 % 5];
                request.nCallerId = 900 + m_in.Byte();
                request.nDelayBufferMs = how & 2 ? m_in.Int() : 500;
                // Outside a call the request comes on a connection just
                // accepted; during one, on the call's own.
                if (stateBefore == kStateReady) {
                    m_services.peer = true;
                }
                C().OnIncomingCall(request);
                C().BeginRecord(kHistoryMissed);
                break;
            }
            case 6: {
                Paramenter params;
                const uint8_t how = m_in.Byte();
                params.nSampleRate = how & 1 ? m_in.Int() : kRates[how / 2 % 5];
                params.nPortIn = how & 2 ? m_in.Int() : 7001;
                params.nPortOut = how & 4 ? m_in.Int() : 7002;
                m_view.onMessage = Nested(depth);
                C().OnParameters(params);
                break;
            }
            case 7:
                C().StartTalk();
                break;
            case 8:
                C().EndCall();
                break;
            case 9:
                C().OnPeerAutoAnswer();
                break;
            case 10:
                C().OnBusy();
                break;
            case 11:
                C().OnUnsupported();
                break;
            case 12:
            case 13: {
                // Posted by the engine's threads; delivered at a later step,
                // maybe after its engine has gone.
                const uint8_t what = m_in.Byte();
                if (C().HasEngine() && m_services.owner) {
                    const int msg = what % 3 == 0   ? kMsgEngineSetup
                                    : what % 3 == 1 ? kMsgEngineFailure
                                                    : kMsgConnectionLost;
                    m_services.owner->PostEngineMessage(msg, what / 3 % 9);
                    if (what & 0x80) {
                        m_services.owner->ShowEngineAlert("Wave In Device Open Failed");
                    }
                }
                break;
            }
            case 14:
                m_view.onMessage = Nested(depth);
                m_services.duringReport = Nested(depth);
                QCoreApplication::sendPostedEvents();
                break;
            case 15:
                // Time moves between the outermost steps only (the clock
                // does not nest).
                m_services.duringReport = Nested(depth);
                if (depth == 0) {
                    m_clock.Advance(kSteps[m_in.Byte() % 8]);
                }
                break;
            case 16: {
                const uint8_t verb = m_in.Byte();
                const int32_t number = 1 + m_in.Byte();
                switch (verb % 5) {
                    case 0:
                        C().RequestDial(number);
                        break;
                    case 1:
                        C().RequestCallTo(number);
                        break;
                    case 2:
                        C().RequestAnswer();
                        break;
                    case 3:
                        C().RequestHangUp();
                        break;
                    default:
                        C().RequestQuit();
                        break;
                }
                break;
            }
            case 17:
                // A dialog chooses a number only where it cannot name the
                // peer of a call.
                m_view.bookResult = stateBefore == kStateReady ? 4 : 0;
                m_view.bookNumber = m_in.Byte();
                m_view.logResult = stateBefore == kStateReady ? 1 : 0;
                m_view.logNumber = m_in.Byte();
                C().OnCommand(m_in.Byte() & 1 ? kCmdPhoneBook : kCmdMissed);
                break;
            case 18:
                if (stateBefore == kStateReady) {
                    C().OnDigit(KeyboardDigitCommand(m_in.Byte() % 10));
                }
                break;
            case 19:
                C().OnCommand(kCmdExit);
                break;
        }
        m_services.duringReport = nullptr;
        m_view.onMessage = nullptr;
        Check();
        // One call at a time: a call that is still up keeps its direction
        // and its peer.
        if (callBefore == C().CallSerial() && stateBefore != kStateReady &&
            C().State() != kStateReady && depth == 0) {
            if (incomingBefore != C().Incoming()) {
                Fail("the call changed direction");
            }
            if (peerBefore != C().PeerNumber()) {
                Fail("the call changed its peer");
            }
        }
    }

    void Check() {
        const int state = C().State();
        if (C().HasEngine() && state != kStateDialling && state != kStateTalking &&
            state != kStateRinging && state != kStateAutoAnswer && state != kStateBroken) {
            Fail("an engine without a call's audio");
        }
        if (state == kStateReady && (C().Incoming() || C().HasEngine())) {
            Fail("a call left behind in the ready state");
        }
    }

    Input& m_in;
    CheckedServices m_services;
    FakeView m_view;
    FakeClock m_clock;
    SettingsModel m_model;
    std::unique_ptr<CCallController> m_controller;
};

std::filesystem::path g_root;

size_t RecordsWritten() {
    size_t n = 0;
    for (int type : {kHistoryTaken, kHistoryMade, kHistoryMissed}) {
        const auto file = HistoryFile(type, g_root);
        n += ReadHistory(file).size();
        std::error_code ec;
        std::filesystem::remove(file, ec);
    }
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static QCoreApplication app(*argc, *argv);
    g_root = std::filesystem::temp_directory_path() /
             ("kestrona-fuzz-controller-" + std::to_string(QCoreApplication::applicationPid()));
    std::filesystem::create_directories(g_root / "list");
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(g_root, ec);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    size_t calls = 0;
    {
        Session session(in, g_root);
        session.Run();
        calls = session.Calls();
    }
    if (RecordsWritten() != calls) {
        Fail("a call left other than one history record");
    }
    return 0;
}
