#include "app/call_services.h"

#include <QPointer>
#include <QString>
#include <QTimer>
#include <cstdio>
#include <optional>

#include "app/ring_player.h"
#include "media/audio_engine.h"
#include "media/engine_owner.h"
#include "net/net_context.h"
#include "net/port_mapper.h"
#include "net/relay_client.h"
#include "net/relay_records.h"
#include "net/server_socket.h"
#include "platform/app_paths.h"
#include "settings/sys_reg_info.h"
#include "store/known_peers.h"

namespace kestrona {
namespace {

// The engine is retired rather than stopped in place: hanging up never
// waits for its threads or its devices (a sound server that stopped
// answering holds their close up for seconds).
class CallEngine : public ICallEngine {
  public:
    CallEngine(IEngineOwner* owner, const SettingsModel& model, std::filesystem::path root)
        : m_owner(owner), m_model(model), m_engine(std::make_unique<CAudioEngine>()) {
        m_engine->SetRecordRoot(std::move(root));
    }
    ~CallEngine() override { Stop(); }

    void Init(int sampleRate, int delayMs) override {
        if (!m_engine)
            return;
        if ((m_media & kFeatureOpus) != 0) {
            OpusFrameSettings opus;
            opus.sample_rate = sampleRate;
            opus.constant_bitrate = m_encrypted;
            auto codec = MakeOpusFrameCodec(opus);
            if (!codec)
                std::fprintf(stderr, "kestrona: Opus refused a call at %d Hz\n", sampleRate);
            m_engine->SetFrameCodec(std::move(codec));
        } else if ((m_media & kFeatureShortFrames) != 0) {
            m_engine->SetFrameMs(kShortFrameMs);
        }
        m_engine->SetProxyCredentials(m_model.m_szProxyUser, m_model.m_szProxyPassword);
        m_engine->SetDevices(m_model.m_strWaveIn, m_model.m_strWaveOut);
        m_engine->SetEchoControl(m_model.m_nEchoCancel == 1   ? CAudioEngine::EchoControl::kOn
                                 : m_model.m_nEchoCancel == 0 ? CAudioEngine::EchoControl::kOff
                                                              : CAudioEngine::EchoControl::kAuto);
        m_engine->Init(m_owner, sampleRate, delayMs, m_model.m_nProxy == 0,
                       m_model.m_szProxyAddress, m_model.m_nHttpPort, m_model.m_nSock5Port);
        m_engine->SetLevels(m_model.m_nMicLevel, m_model.m_nSpeakerLevel);
    }
    void BeginListen(int portIn, int portOut) override {
        if (m_engine)
            m_engine->BeginListen(portIn, portOut);
    }
    void BeginConnect(const std::string& host, int peerPortIn, int peerPortOut) override {
        if (m_engine)
            m_engine->BeginConnect(host, peerPortIn, peerPortOut);
    }
    int PortIn() const override { return m_engine ? m_engine->PortIn() : 0; }
    int PortOut() const override { return m_engine ? m_engine->PortOut() : 0; }
    void StartReceive() override {
        if (m_engine)
            m_engine->StartReceive();
    }
    void StartSend() override {
        if (m_engine)
            m_engine->StartSend();
    }
    void Record(const std::string& stem) override {
        if (m_engine)
            m_engine->Record(stem);
    }
    void Stop() override { CAudioEngine::Retire(std::move(m_engine)); }
    void SetStreamKeys(const SecretKey32& send, const SecretKey32& receive) override {
        m_encrypted = true;
        if (m_engine)
            m_engine->SetStreamKeys(send, receive);
    }
    void SetMedia(int32_t features) override { m_media = features; }
    CallQualityReport Quality() const override {
        CallQualityReport r;
        if (!m_engine || !m_engine->InFrames())
            return r;
        const CAudioEngine::Quality q = m_engine->QualityNow();
        r.rating = static_cast<CallQualityReport::Rating>(static_cast<int>(q.rating));
        r.missingPermille = q.missingPermille;
        r.delayMs = q.delayMs;
        r.played = q.played;
        r.concealed = q.concealed;
        r.recovered = q.recovered;
        r.late = q.late;
        r.dropped = q.dropped;
        return r;
    }
    void SetMuted(bool muted) override {
        if (m_engine)
            m_engine->SetMuted(muted);
    }
    void SetLevels(int microphone, int loudspeaker) override {
        if (m_engine)
            m_engine->SetLevels(microphone, loudspeaker);
    }

  private:
    // Frames of a call in short G.729 blocks.
    static constexpr int kShortFrameMs = 20;
    IEngineOwner* m_owner;
    const SettingsModel& m_model;
    std::unique_ptr<CAudioEngine> m_engine;
    int32_t m_media = 0;
    bool m_encrypted = false;
};

// How long the answering side waits for its two audio ports to be forwarded
// (by the router or the relay) before it announces them as they are.
constexpr int kAudioMappingLimitMs = 3000;

// A callee reached through the relay: where its relayed addresses are, and
// the relay through which this phone dials them.
struct RelayRoute {
    RelayServer server;
    std::string address;
};

// The call's engine behind what makes this phone reachable. The answering
// side's audio ports are forwarded (on the home router or the relay) for the
// call: the engine's set-up result is held back until both ports are
// forwarded (or the time is up), so that the ports read for PARAMENTER are
// the ones reachable from outside; the forwardings end with the engine. The
// calling side reaches a relayed callee's audio ports through the relay.
class ForwardedCallEngine : public ICallEngine, private IEngineOwner {
  public:
    ForwardedCallEngine(IEngineOwner* owner, IPortForwarder* forwarder, QObject* forwarderGuard,
                        CRelayClient* relay, std::optional<RelayRoute> route)
        : m_owner(owner),
          m_forwarder(forwarder),
          m_guard(forwarderGuard),
          m_relay(relay),
          m_route(std::move(route)),
          m_context(std::make_unique<QObject>()) {}
    ~ForwardedCallEngine() override { Stop(); }

    // The engine this one forwards to; it must post its messages here.
    IEngineOwner* InnerOwner() { return this; }
    void SetInner(std::unique_ptr<ICallEngine> inner) { m_inner = std::move(inner); }

    void Init(int sampleRate, int delayMs) override { m_inner->Init(sampleRate, delayMs); }
    void BeginListen(int portIn, int portOut) override {
        m_bListening = m_forwarder != nullptr;
        m_inner->BeginListen(portIn, portOut);
    }
    void BeginConnect(const std::string& host, int peerPortIn, int peerPortOut) override {
        if (m_route && m_relay && host == m_route->address) {
            // Each stream through a route of its own; a route that cannot
            // be opened fails that stream as an unreachable port would.
            const int in = m_relay->OpenRoute(m_route->server, host, peerPortIn);
            const int out = m_relay->OpenRoute(m_route->server, host, peerPortOut);
            m_inner->BeginConnect("127.0.0.1", in, out);
            return;
        }
        m_inner->BeginConnect(host, peerPortIn, peerPortOut);
    }
    int PortIn() const override { return m_nOuterIn > 0 ? m_nOuterIn : m_inner->PortIn(); }
    int PortOut() const override { return m_nOuterOut > 0 ? m_nOuterOut : m_inner->PortOut(); }
    void StartReceive() override { m_inner->StartReceive(); }
    void StartSend() override { m_inner->StartSend(); }
    void Record(const std::string& stem) override { m_inner->Record(stem); }
    void SetStreamKeys(const SecretKey32& send, const SecretKey32& receive) override {
        m_inner->SetStreamKeys(send, receive);
    }
    void SetMedia(int32_t features) override { m_inner->SetMedia(features); }
    CallQualityReport Quality() const override { return m_inner->Quality(); }
    void SetMuted(bool muted) override { m_inner->SetMuted(muted); }
    void SetLevels(int microphone, int loudspeaker) override {
        m_inner->SetLevels(microphone, loudspeaker);
    }
    void Stop() override {
        if (m_inner) {
            m_inner->Stop();
        }
        // Nothing of the engine posts after its Stop: no queued hand-over
        // can reach this object once the context is gone.
        m_context.reset();
        if (m_forwarder && m_guard) {
            for (int* id : {&m_nIdIn, &m_nIdOut}) {
                if (*id) {
                    m_forwarder->Unmap(*id);
                    *id = 0;
                }
            }
        }
    }

  private:
    // Engine threads.
    void PostEngineMessage(int msg, int code) override {
        if (msg == kMsgEngineSetup && code == kSetupOk && m_bListening) {
            QMetaObject::invokeMethod(
                m_context.get(), [this] { MapPorts(); }, Qt::QueuedConnection);
            return;
        }
        m_owner->PostEngineMessage(msg, code);
    }
    void ShowEngineAlert(const std::string& text) override { m_owner->ShowEngineAlert(text); }

    // The owner's thread, from here on.
    void MapPorts() {
        if (!m_forwarder || !m_guard) {
            m_owner->PostEngineMessage(kMsgEngineSetup, kSetupOk);
            return;
        }
        m_nIdIn = m_forwarder->Map(m_inner->PortIn(), [this](const PortGrant& grant) {
            m_nOuterIn = grant.port;
            m_bInDone = true;
            Finish();
        });
        m_nIdOut = m_forwarder->Map(m_inner->PortOut(), [this](const PortGrant& grant) {
            m_nOuterOut = grant.port;
            m_bOutDone = true;
            Finish();
        });
        QTimer::singleShot(kAudioMappingLimitMs, m_context.get(), [this] {
            m_bInDone = m_bOutDone = true;
            Finish();
        });
    }
    void Finish() {
        if (m_bReported || !m_bInDone || !m_bOutDone) {
            return;
        }
        // Both or neither: one port reachable from outside and one not
        // would fail the call anyway.
        if (m_nOuterIn <= 0 || m_nOuterOut <= 0) {
            m_nOuterIn = m_nOuterOut = 0;
        }
        m_bReported = true;
        m_owner->PostEngineMessage(kMsgEngineSetup, kSetupOk);
    }

    IEngineOwner* m_owner;
    IPortForwarder* m_forwarder;
    // The forwarder's object: a forwarder shut down meanwhile is not asked.
    QPointer<QObject> m_guard;
    CRelayClient* m_relay;
    std::optional<RelayRoute> m_route;
    std::unique_ptr<QObject> m_context;
    std::unique_ptr<ICallEngine> m_inner;
    bool m_bListening = false;
    int m_nIdIn = 0;
    int m_nIdOut = 0;
    int m_nOuterIn = 0;
    int m_nOuterOut = 0;
    bool m_bInDone = false;
    bool m_bOutDone = false;
    bool m_bReported = false;
};

class CallServices : public ICallServices {
  public:
    explicit CallServices(NetContext& net) : m_net(net) {}

    int QueryUser(int32_t number, std::string& address, int& port) override {
        m_route.reset();
        if (m_net.m_bServerRelays) {
            return QueryPeer(number, address, port);
        }
        CServerSocket socket(m_net);
        socket.Create();
        socket.SendQueryUser(number);
        const int code = m_net.PumpUntilReply(socket);
        if (code == REPLY_SUCCESS) {
            const QueryUserResult result = ParseQueryUserResult(socket.Buffer());
            address = result.strAddress;
            port = result.nPort;
        }
        socket.Close();
        return code;
    }

    void ReportCall(ReportKind kind, int32_t peer, int32_t own, int seconds) override {
        auto socket = std::make_unique<CServerSocket>(m_net);
        socket->Create();
        socket->SendMsgReport(BuildMsgReportRecord(kind, peer, own, seconds));
        socket->Close();
    }

    bool HasPeer() const override { return m_net.m_pPeerSocket != nullptr; }

    void DropPeer() override {
        if (m_net.m_pPeerSocket) {
            m_net.m_pPeerSocket->Close();
            m_net.m_pPeerSocket.reset();
        }
    }

    bool RequestCall(const std::string& address, int port) override {
        return Request(address, port, true, true);
    }
    bool RequestPlainCall(const std::string& address, int port) override {
        return Request(address, port, false, false);
    }
    bool RequestCallWithoutMedia(const std::string& address, int port) override {
        return Request(address, port, true, false);
    }

    void SendParameters(const Paramenter& params) override {
        if (m_net.m_pPeerSocket) {
            m_net.m_pPeerSocket->SendParameters(params);
        }
    }
    void SendStartTalk() override {
        if (m_net.m_pPeerSocket) {
            m_net.m_pPeerSocket->SendStartTalk();
        }
    }
    void SendAutoAnswer() override {
        if (m_net.m_pPeerSocket) {
            m_net.m_pPeerSocket->SendAutoAnswer();
        }
    }
    void EndPeer() override { m_net.EndPeerConnection(); }
    void ChangeListenPort(bool closeOld) override { m_net.ChangeListenPort(closeOld); }

    std::unique_ptr<ICallEngine> CreateEngine(IEngineOwner* owner) override {
        // Reached through the relay: the audio ports go there too; else the
        // router forwards them, when it is asked at all.
        IPortForwarder* forwarder = m_net.relayForwarder;
        QObject* guard = m_net.relayClient;
        if (!forwarder && m_net.portMapper) {
            forwarder = m_net.portMapper;
            guard = m_net.portMapper;
        }
        const bool routed = m_route && m_net.relayClient;
        if (!forwarder && !routed) {
            return std::make_unique<CallEngine>(owner, m_net.settings, FilesRoot());
        }
        auto engine = std::make_unique<ForwardedCallEngine>(
            owner, forwarder, guard, routed ? m_net.relayClient : nullptr, m_route);
        engine->SetInner(
            std::make_unique<CallEngine>(engine->InnerOwner(), m_net.settings, FilesRoot()));
        return engine;
    }

    // The ring sounds are read-only resources of the installation.
    void PlayRing(const std::string& file) override {
        m_ring.SetLevel(m_net.settings.m_nRingLevel);
        m_ring.PlayAsync(ResourcePath(file));
    }
    int PlayRingOnce(const std::string& file) override {
        m_ring.SetLevel(m_net.settings.m_nRingLevel);
        int lengthMs = -1;
        return m_ring.PlayAsync(ResourcePath(file), &lengthMs) ? lengthMs : -1;
    }
    std::filesystem::path FilesRoot() const override { return PhoneDataDir(); }
    void StoreLevels(const SettingsModel& model) override {
        CSysRegInfo reg;
        reg.SetRegSection(m_net.regSection.c_str());
        AudioSettings values;
        LoadAudioSettings(reg, values);
        values.nMicLevel = model.m_nMicLevel;
        values.nSpeakerLevel = model.m_nSpeakerLevel;
        values.nRingLevel = model.m_nRingLevel;
        StoreAudioSettings(reg, values);
    }

    PeerIdentity CheckPeerIdentity(int32_t number,
                                   const std::array<uint8_t, 32>& identity) override {
        switch (m_peers.Check(std::to_string(number), identity)) {
            case KnownPeers::Verdict::kSame:
                return PeerIdentity::kSame;
            case KnownPeers::Verdict::kChanged:
                return PeerIdentity::kChanged;
            case KnownPeers::Verdict::kNew:
                break;
        }
        return PeerIdentity::kNew;
    }
    void RememberPeerIdentity(int32_t number, const std::array<uint8_t, 32>& identity) override {
        std::string error;
        if (!m_peers.Remember(std::to_string(number), identity, error))
            std::fprintf(stderr, "kestrona: the identity of %d is not remembered: %s\n", number,
                         error.c_str());
    }

  private:
    // The look-up of phones of ours: it also says whether the callee is
    // reached through the relay, and which one.
    int QueryPeer(int32_t number, std::string& address, int& port) {
        CServerSocket socket(m_net);
        socket.Create();
        const auto record = BuildQueryPeerRecord(m_net.settings.m_nID, number);
        socket.SendRequest(record.data(), static_cast<int>(record.size()));
        int code = m_net.PumpUntilReply(socket);
        if (code == REPLY_SUCCESS) {
            const QueryPeerReply reply =
                ParseQueryPeerReply(socket.Buffer(), std::size_t(socket.m_nReceived));
            if (reply.found) {
                address = reply.address;
                port = reply.port;
                if (reply.relayed) {
                    m_route = RelayRoute{{reply.relay.host, reply.relay.port, reply.relay.tls},
                                         reply.address};
                }
            } else {
                code = REPLY_ERROR;
            }
        }
        socket.Close();
        return code;
    }

    bool Request(const std::string& address, int port, bool offerEncryption, bool offerMedia) {
        m_net.m_pPeerSocket = std::make_unique<CCallSocket>(m_net);
        QPointer<CCallSocket> socket(m_net.m_pPeerSocket.get());
        socket->Create();
        QString host = QString::fromStdString(address);
        if (m_route && m_net.relayClient && address == m_route->address) {
            // Through an allocation of this phone's own on the callee's relay:
            // the relay admits callers only so.
            port = m_net.relayClient->OpenRoute(m_route->server, address, port);
            host = QStringLiteral("127.0.0.1");
        }
        const bool ok = socket->RequestCall(host, port, offerEncryption, offerMedia);
        return ok && socket;
    }

    NetContext& m_net;
    // The callee of the current dial is reached through the relay.
    std::optional<RelayRoute> m_route;
    CRingPlayer m_ring;
    KnownPeers m_peers{DefaultKnownPeersPath()};
};

}  // namespace

std::unique_ptr<ICallServices> MakeCallServices(NetContext& net) {
    return std::make_unique<CallServices>(net);
}

}  // namespace kestrona
