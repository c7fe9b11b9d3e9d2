#include "app/call_engine_supervisor.h"

#include <QMetaObject>

#include "media/engine_owner.h"
#include "res/resource_ids.h"
#include "res/strings.h"

namespace kestrona {

// The engine's threads reach the supervisor only through this link: each
// message is queued to the supervisor's thread with the number of the engine
// that sent it.
class CEngineSupervisor::Link : public IEngineOwner {
  public:
    Link(CEngineSupervisor* supervisor, int serial) : m_supervisor(supervisor), m_serial(serial) {}

    void PostEngineMessage(int msg, int code) override {
        CEngineSupervisor* supervisor = m_supervisor;
        const int serial = m_serial;
        QMetaObject::invokeMethod(
            supervisor,
            [supervisor, serial, msg, code] { supervisor->OnMessage(serial, msg, code); },
            Qt::QueuedConnection);
    }
    void ShowEngineAlert(const std::string& text) override {
        CEngineSupervisor* supervisor = m_supervisor;
        const int serial = m_serial;
        const QString message = QString::fromStdString(text);
        QMetaObject::invokeMethod(
            supervisor, [supervisor, serial, message] { supervisor->OnAlert(serial, message); },
            Qt::QueuedConnection);
    }

  private:
    CEngineSupervisor* const m_supervisor;
    const int m_serial;
};

CEngineSupervisor::CEngineSupervisor(ICallServices& services, IEngineEvents& events,
                                     QObject* parent)
    : QObject(parent), m_services(services), m_events(events) {}

CEngineSupervisor::~CEngineSupervisor() {
    Stop();
}

ICallEngine& CEngineSupervisor::Start() {
    Stop();
    m_pLink = std::make_unique<Link>(this, ++m_nSerial);
    m_pEngine = m_services.CreateEngine(m_pLink.get());
    m_bFailureTold = false;
    m_bSoundLostTold = false;
    return *m_pEngine;
}

void CEngineSupervisor::Stop() {
    if (m_pEngine) {
        m_pEngine->Stop();
        m_pEngine.reset();
    }
    m_pLink.reset();
    m_bSetupPending = false;
}

void CEngineSupervisor::Listen(int portIn, int portOut) {
    m_bSetupPending = true;
    m_pEngine->BeginListen(portIn, portOut);
}

void CEngineSupervisor::Connect(const std::string& host, int portIn, int portOut) {
    m_bSetupPending = true;
    m_pEngine->BeginConnect(host, portIn, portOut);
}

void CEngineSupervisor::EndOfCall() {
    m_nDeviceMissing = 0;
    m_bSoundLostTold = false;
}

void CEngineSupervisor::OnMessage(int serial, int msg, int code) {
    // A message posted just before its engine stopped arrives after it and
    // must not touch the next call.
    if (serial != m_nSerial || !m_pEngine) {
        return;
    }
    switch (msg) {
        case kMsgEngineSetup:
            if (!m_bSetupPending) {
                return;
            }
            m_bSetupPending = false;
            m_events.OnStreamsSetUp(code);
            break;
        case kMsgConnectionLost:
            m_events.OnStreamBroken();
            break;
        case kMsgEngineFailure:
            OnFailure(code);
            break;
        default:
            break;
    }
}

void CEngineSupervisor::OnFailure(int code) {
    switch (code) {
        case kNoWaveIn:
        case kWaveInFormat:
        case kNoWaveOut:
        case kWaveOutFormat:
            if (m_bDeviceMissingTold || m_nDeviceMissing != 0) {
                return;
            }
            m_nDeviceMissing = code;
            TellDeviceMissing();
            break;
        case kProxyUnreachable:
            // During the set-up its result tells the proxy's failure.
            if (m_bFailureTold || m_bSetupPending) {
                return;
            }
            m_bFailureTold = true;
            m_events.OnEngineBox(ResString(res::kStrFirstEngineFailure + code - kNoWaveIn));
            break;
        case kWaveInOpenFailed:
        case kWaveOutOpenFailed:
            // The call goes on and the sound comes back by itself: said once
            // a call, without a box.
            if (m_bSoundLostTold) {
                return;
            }
            m_bSoundLostTold = true;
            m_events.OnEngineNotice(ResString(res::kStrFirstEngineFailure + code - kNoWaveIn));
            break;
        default:
            break;
    }
}

void CEngineSupervisor::TellDeviceMissing() {
    // Once a run, on the display, where it keeps nobody from the call key;
    // not while the answering machine takes or may take the call, since
    // nobody is there to read it.
    if (m_nDeviceMissing == 0 || m_bDeviceMissingTold || m_events.MachineMayAnswer()) {
        return;
    }
    m_bDeviceMissingTold = true;
    m_events.OnEngineNotice(ResString(res::kStrFirstEngineFailure + m_nDeviceMissing - kNoWaveIn));
}

void CEngineSupervisor::OnAlert(int serial, const QString& text) {
    // A device that cannot be opened comes with its code too: one notice.
    if (serial != m_nSerial || m_bSoundLostTold) {
        return;
    }
    m_bSoundLostTold = true;
    m_events.OnEngineBox(text);
}

}  // namespace kestrona
