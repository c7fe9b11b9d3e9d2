// Recording fakes of what the call controller drives: the view, the network
// and the engines, and a clock the test moves by hand.
#pragma once

#include <QCoreApplication>
#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/call_clock.h"
#include "app/call_services.h"
#include "app/call_view.h"
#include "media/engine_owner.h"

namespace kestrona::testing {

using Log = std::vector<std::string>;

inline bool Contains(const Log& log, const std::string& entry) {
    return std::find(log.begin(), log.end(), entry) != log.end();
}

// Time stands still until Advance moves it; due timers fire in order.
class FakeClock : public ICallClock {
  public:
    class Timer : public ICallTimer {
      public:
        Timer(FakeClock& clock, std::function<void()> fn) : m_clock(clock), m_fn(std::move(fn)) {
            m_clock.m_timers.push_back(this);
        }
        ~Timer() override { std::erase(m_clock.m_timers, this); }
        void Start(int periodMs) override {
            m_active = true;
            m_period = std::max(periodMs, 1);
            m_due = m_clock.m_ms + m_period;
        }
        void Stop() override { m_active = false; }
        bool IsActive() const override { return m_active; }

      private:
        friend class FakeClock;
        FakeClock& m_clock;
        std::function<void()> m_fn;
        bool m_active = false;
        int64_t m_period = 1;
        int64_t m_due = 0;
    };

    int64_t Now() const override { return m_epoch + m_ms / 1000; }
    std::unique_ptr<ICallTimer> MakeTimer(std::function<void()> onExpiry) override {
        return std::make_unique<Timer>(*this, std::move(onExpiry));
    }
    void Advance(int64_t ms) {
        const int64_t end = m_ms + ms;
        for (;;) {
            Timer* next = nullptr;
            for (Timer* t : m_timers) {
                if (t->m_active && t->m_due <= end && (!next || t->m_due < next->m_due)) {
                    next = t;
                }
            }
            if (!next) {
                break;
            }
            m_ms = next->m_due;
            next->m_due += next->m_period;
            next->m_fn();
        }
        m_ms = end;
    }

  private:
    int64_t m_epoch = 1'700'000'000;
    int64_t m_ms = 0;
    std::vector<Timer*> m_timers;
};

class FakeView : public ICallView {
  public:
    void ShowDisplay(const DisplayTexts& texts) override { display = texts; }
    void ShowKey(int command, const KeyLook& look) override { keys[command] = look; }
    void ShowTrayFlash(bool on, int32_t peer) override {
        tray.push_back((on ? "flash " : "still ") + std::to_string(peer));
    }
    // A box runs other handlers while it is open (onMessage stands for them).
    void ShowMessage(const QString& text) override {
        messages.push_back(text);
        if (onMessage) {
            auto once = std::move(onMessage);
            onMessage = nullptr;
            once();
        }
    }
    int RunPhoneBook(int32_t& number, QString& name) override {
        number = bookNumber;
        name = bookName;
        return bookResult;
    }
    int RunCallLog(int type, int32_t& number) override {
        logsOpened.push_back(type);
        number = logNumber;
        return logResult;
    }
    void RunOptions() override { ++optionsRun; }
    void Exit() override { ++exits; }

    DisplayTexts display;
    std::map<int, KeyLook> keys;
    Log tray;
    std::vector<QString> messages;
    std::function<void()> onMessage;
    int bookResult = 0;
    int32_t bookNumber = 0;
    QString bookName;
    int logResult = 0;
    int32_t logNumber = 0;
    std::vector<int> logsOpened;
    int optionsRun = 0;
    int exits = 0;
};

struct FakeEngine : ICallEngine {
    explicit FakeEngine(Log& log) : log(log) {}
    void Init(int rate, int delayMs) override {
        log.push_back("init " + std::to_string(rate) + " " + std::to_string(delayMs));
    }
    void BeginListen(int in, int out) override {
        log.push_back("listen " + std::to_string(in) + " " + std::to_string(out));
    }
    void BeginConnect(const std::string& host, int in, int out) override {
        log.push_back("connect " + host + " " + std::to_string(in) + " " + std::to_string(out));
    }
    int PortIn() const override { return 5001; }
    int PortOut() const override { return 5002; }
    void StartReceive() override { log.push_back("receive"); }
    void StartSend() override { log.push_back("send"); }
    void Record(const std::string& stem) override { log.push_back("record " + stem); }
    void Stop() override { log.push_back("stop"); }
    void SetStreamKeys(const SecretKey32& send, const SecretKey32& receive) override {
        log.push_back("keys " + std::to_string(send.bytes[0]) + " " +
                      std::to_string(receive.bytes[0]));
    }
    void SetMuted(bool muted) override { log.push_back(muted ? "mute" : "unmute"); }
    void SetLevels(int mic, int speaker) override {
        log.push_back("levels " + std::to_string(mic) + " " + std::to_string(speaker));
    }
    // Calls in blocks, as every call before frames, leave no line.
    void SetMedia(int32_t features) override {
        if (features != 0)
            log.push_back("media " + std::to_string(features));
    }
    Log& log;
};

struct FakeServices : ICallServices {
    int queryCode = 10;
    bool requestOk = true;
    bool peer = false;
    int greetingMs = 3000;
    std::function<void()> duringQuery;
    std::function<void()> duringReport;
    std::function<void()> duringRequest;
    Log log;     // network
    Log engine;  // engine calls
    Log rings;
    IEngineOwner* owner = nullptr;  // of the last engine made
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
    void ReportCall(ReportKind kind, int32_t p, int32_t own, int seconds) override {
        log.push_back("report " + std::to_string(kind) + " " + std::to_string(p) + " " +
                      std::to_string(own) + " " + std::to_string(seconds));
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
    bool RequestPlainCall(const std::string& address, int port) override {
        log.push_back("plain " + address + ":" + std::to_string(port));
        peer = true;
        return requestOk;
    }
    bool RequestCallWithoutMedia(const std::string& address, int port) override {
        log.push_back("no-media " + address + ":" + std::to_string(port));
        peer = true;
        return requestOk;
    }
    PeerIdentity CheckPeerIdentity(int32_t, const std::array<uint8_t, 32>&) override {
        return identity;
    }
    void RememberPeerIdentity(int32_t number, const std::array<uint8_t, 32>&) override {
        log.push_back("remember " + std::to_string(number));
    }
    PeerIdentity identity = PeerIdentity::kNew;

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
    std::unique_ptr<ICallEngine> CreateEngine(IEngineOwner* o) override {
        owner = o;
        return std::make_unique<FakeEngine>(engine);
    }
    void PlayRing(const std::string& file) override { rings.push_back(file); }
    int PlayRingOnce(const std::string& file) override {
        rings.push_back("once " + file);
        return greetingMs;
    }
    std::filesystem::path FilesRoot() const override { return root; }

    // An engine message as the engine's threads post it, delivered.
    void Post(int msg, int code) {
        owner->PostEngineMessage(msg, code);
        QCoreApplication::sendPostedEvents();
    }
};

}  // namespace kestrona::testing
