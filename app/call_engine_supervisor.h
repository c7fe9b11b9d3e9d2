// The media engine of the current call, watched: it makes a new engine per
// call, passes on what the engine's threads report (on the controller's
// thread, and only from the engine of now), and decides how each problem of
// the sound devices or the proxy is told: once a call or once a run, on the
// display or in a box.
#pragma once

#include <QObject>
#include <QString>
#include <memory>
#include <string>

#include "app/call_services.h"

namespace kestrona {

// What the supervisor tells the call.
class IEngineEvents {
  public:
    virtual ~IEngineEvents() = default;
    // The streams' set-up ended: 0, or the reason it failed.
    virtual void OnStreamsSetUp(int code) = 0;
    // A stream broke during the call.
    virtual void OnStreamBroken() = 0;
    // A problem to tell the user: a line on the display, or a box.
    virtual void OnEngineNotice(const QString& text) = 0;
    virtual void OnEngineBox(const QString& text) = 0;
    // Nobody may be there to read a notice: the answering machine takes, or
    // may take, the call.
    virtual bool MachineMayAnswer() const = 0;
};

class CEngineSupervisor : public QObject {
  public:
    CEngineSupervisor(ICallServices& services, IEngineEvents& events, QObject* parent = nullptr);
    ~CEngineSupervisor() override;
    CEngineSupervisor(const CEngineSupervisor&) = delete;
    CEngineSupervisor& operator=(const CEngineSupervisor&) = delete;

    // A new engine for the call; the one before stops first.
    ICallEngine& Start();
    // After Stop nothing of the engine arrives any more.
    void Stop();
    ICallEngine* Engine() const { return m_pEngine.get(); }

    // The streams' set-up, begun on the engine; its result comes as
    // OnStreamsSetUp.
    void Listen(int portIn, int portOut);
    void Connect(const std::string& host, int portIn, int portOut);
    bool SetupPending() const { return m_bSetupPending; }
    // The user was told why the set-up failed: a proxy failure the engine
    // reports as well is not told twice.
    void SetupFailureTold() { m_bFailureTold = true; }

    // A device found missing at the engine's start and kept back while the
    // machine might answer: told now, once a run.
    void TellDeviceMissing();
    // The call ended: what was told of it is forgotten.
    void EndOfCall();

  private:
    class Link;
    void OnMessage(int serial, int msg, int code);
    void OnFailure(int code);
    void OnAlert(int serial, const QString& text);

    ICallServices& m_services;
    IEngineEvents& m_events;
    // The engine and the link its threads post through; the link goes after
    // the engine has stopped.
    std::unique_ptr<Link> m_pLink;
    std::unique_ptr<ICallEngine> m_pEngine;
    // Numbers the engines, so that a message of an earlier one is dropped.
    int m_nSerial = 0;
    bool m_bSetupPending = false;
    bool m_bFailureTold = false;
    // A missing or unusable device at the engine's start (codes 1 to 4) of
    // this call, not told yet; and whether it was told in this run.
    int m_nDeviceMissing = 0;
    bool m_bDeviceMissingTold = false;
    // The user was told that a sound device went away during this call.
    bool m_bSoundLostTold = false;
};

}  // namespace kestrona
