#include "net/call_socket.h"

#include <QHostAddress>
#include <QPointer>
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "net/call_handshake.h"
#include "net/net_context.h"
#include "net/sealed_channel.h"
#include "platform/gbk.h"
#include "settings/setting_names.h"

using kestrona::NetContext;
using kestrona::PeerCommand;

namespace kestrona {
namespace {

bool Prefix(const char* data, std::string_view word) {
    return std::memcmp(data, word.data(), word.size()) == 0;
}

bool EndsWithAccept(const char* data, int received) {
    return received >= 6 && std::memcmp(data + received - 6, "ACCEPT", 6) == 0;
}

}  // namespace

PeerCommand ClassifyPeerChunk(const char* data, int received, bool proxyOn) {
    // Prefixes of up to 14 bytes are compared, so short chunks must be padded
    // by the caller's buffer (the receive buffer always is).
    if (proxyOn && Prefix(data, std::string_view("\x05\x00\x00\x01", 4)))
        return PeerCommand::SocksBindReply;
    if (Prefix(data, "UNKNOWCMD"))
        return PeerCommand::UnknownCmd;
    if (Prefix(data, "UNSUPPORTED"))
        return PeerCommand::Unsupported;
    if (Prefix(data, "AUTOANSWER"))
        return PeerCommand::AutoAnswer;
    if (Prefix(data, "GENERALERROR"))
        return PeerCommand::GeneralError;
    if (Prefix(data, "GENERALSUCCESS"))
        return PeerCommand::GeneralSuccess;
    if (Prefix(data, "ACCEPT"))
        return PeerCommand::Accept;
    if (Prefix(data, "HTTP/1.0 200")) {
        // The peer greets at once, so its "ACCEPT" often rides in the same
        // chunk as the proxy's answer; dropping it would lose the call.
        return received >= 18 && EndsWithAccept(data, received) ? PeerCommand::HttpOkAccept
                                                                : PeerCommand::HttpOk;
    }
    if (EndsWithAccept(data, received))
        return PeerCommand::TrailingAccept;
    if (Prefix(data, "REQUESTCALL"))
        return PeerCommand::RequestCall;
    if (Prefix(data, "RCRESULTBUSY"))
        return PeerCommand::Busy;
    if (Prefix(data, "PARAMENTER"))
        return PeerCommand::Paramenter;
    if (Prefix(data, std::string_view("STARTTALK\0", 10)))
        return PeerCommand::StartTalk;
    if (Prefix(data, "ENDTALK"))
        return PeerCommand::EndTalk;
    return PeerCommand::Unknown;
}

}  // namespace kestrona

CCallSocket::CCallSocket(NetContext& context) : CCmdSocket(context) {
    m_requestLimit.setSingleShot(true);
    connect(&m_requestLimit, &QTimer::timeout, this, &CCallSocket::DropUnaskedConnection);
}

CCallSocket::~CCallSocket() = default;

namespace {

void LogCall(const char* what, const std::string& why) {
    std::fprintf(stderr, "kestrona: %s%s%s\n", what, why.empty() ? "" : ": ", why.c_str());
}

}  // namespace

bool CCallSocket::RequestCall(const QString& address, int port, bool offerEncryption,
                              bool offerMedia) {
    return RequestCall(address, port,
                       kestrona::SampleRateForConnectionType(m_context.settings.m_nRate),
                       offerEncryption, offerMedia);
}

bool CCallSocket::RequestCall(const QString& address, int port, int32_t proposedRate,
                              bool offerEncryption, bool offerMedia) {
    QPointer<CCallSocket> self(this);
    ConnectTo(address, port);
    if (!self || !m_bConnected)
        return false;
    kestrona::RequestCall request;
    request.nSampleRate = proposedRate;
    request.nCallerId = m_context.settings.m_nID;
    const bool offer = offerEncryption && m_context.identity &&
                       kestrona::CallEncryption(m_context.settings) != kestrona::Encryption::kOff;
    const bool media = offerMedia && m_context.settings.m_nPlainCalls == 0;
    request.nFeatures =
        (offer ? kestrona::kFeatureEncryptedCall : 0) | (media ? kestrona::kMediaFeatures : 0);
    // A store without a delay choice leaves 0, which a callee refuses: the
    // nearest offered delay goes out instead.
    request.nDelayBufferMs = std::clamp(m_context.settings.m_nDelayBufferMs,
                                        kestrona::kMinDelayBufferMs, kestrona::kMaxDelayBufferMs);
    const auto record = kestrona::BuildRequestCallRecord(request);
    m_bOffered = request.nFeatures != 0;
    if (offer) {
        m_bCallee = false;
        m_pHandshake = std::make_unique<kestrona::CallHandshake>(
            kestrona::CallHandshake::Role::kCaller, *m_context.identity,
            reinterpret_cast<const uint8_t*>(record.data()));
    }
    SendRecord(record.data(), static_cast<int>(record.size()));
    if (offer) {
        const auto first = m_pHandshake->OutgoingRecord();
        if (!first.empty())
            SendRecord(first.data(), static_cast<int>(first.size()));
    }
    return true;
}

void CCallSocket::SendPeerRecord(const void* data, int length) {
    if (!m_pChannel) {
        SendRecord(data, length);
        return;
    }
    const auto frame =
        m_pChannel->Seal(static_cast<const uint8_t*>(data), static_cast<size_t>(length));
    if (!frame.empty())
        SendRecord(frame.data(), static_cast<int>(frame.size()));
}

void CCallSocket::SendParameters(kestrona::ParamenterBytes& record) {
    std::memcpy(record.data(), "PARAMENTER", 10);
    SendPeerRecord(record.data(), static_cast<int>(record.size()));
}

void CCallSocket::SendParameters(const kestrona::Paramenter& params) {
    auto record = kestrona::BuildParamenterRecord(params);
    SendParameters(record);
}

void CCallSocket::SendStartTalk() {
    SendPeerRecord(kestrona::kWordStartTalk.data(), 9);
}

void CCallSocket::SendAutoAnswer() {
    const auto record = kestrona::BuildAutoAnswerRecord();
    SendPeerRecord(record.data(), static_cast<int>(record.size()));
}

void CCallSocket::SendEndTalk() {
    SendPeerRecord(kestrona::kWordEndTalk.data(), 7);
    if (m_context.settings.m_nProxy != 1 && !m_bEnded)
        Close();
}

bool CCallSocket::LingersOnEnd() const {
    // Through a proxy the far end is the proxy, whose own rules apply.
    return m_context.settings.m_nProxy != 1 && IsConnected() &&
           QHostAddress(PeerAddress()).isLoopback();
}

void CCallSocket::OnReceive(int) {
    if (m_bEnded) {
        char discard[kMaxChunk];
        while (Receive(discard, kMaxChunk) > 0) {
        }
        return;
    }
    QPointer<CCallSocket> self(this);
    ReceiveChunk();
    if (m_pHandshake || m_pChannel)
        TakeSecuredBytes();
    else
        DispatchPeerCommand();
    if (self)
        NotifyWaiters();
}

void CCallSocket::DispatchBytes(const uint8_t* data, size_t n) {
    n = std::min(n, static_cast<size_t>(kMaxChunk));
    std::memmove(m_pBuffer.get(), data, n);
    std::memset(m_pBuffer.get() + n, 0, static_cast<size_t>(kBufferSize) - n);
    m_nReceived = static_cast<int32_t>(n);
    DispatchPeerCommand();
}

void CCallSocket::TakeSecuredBytes() {
    using kestrona::CallHandshake;
    QPointer<CCallSocket> self(this);
    const std::vector<uint8_t> bytes(m_pBuffer.get(), m_pBuffer.get() + m_nReceived);
    size_t at = 0;
    while (m_pHandshake && at < bytes.size()) {
        const uint8_t* rest = bytes.data() + at;
        const size_t left = bytes.size() - at;
        // A plain record while the keys are exchanged: the refusal of the
        // offer, an end of the call. It is a chunk of its own.
        if (m_handshakeBytes.empty() && !CallHandshake::IsCallKeys(rest, left)) {
            m_pHandshake.reset();
            // A callee that goes on in the clear instead of refusing the offer
            // gets a plain call, unless encryption is required.
            std::vector<char> chunk(rest, rest + left);
            chunk.resize(left + 16, '\0');
            const PeerCommand command =
                kestrona::ClassifyPeerChunk(chunk.data(), static_cast<int>(left), false);
            if (!m_bCallee &&
                kestrona::CallEncryption(m_context.settings) == kestrona::Encryption::kRequired &&
                command != PeerCommand::Unsupported && command != PeerCommand::EndTalk &&
                command != PeerCommand::Busy) {
                LogCall("the callee answered an offer of encryption in the clear", {});
                Close();
                if (m_context.window)
                    m_context.window->OnAnsweredInTheClear();
                return;
            }
            DispatchBytes(rest, left);
            return;
        }
        const size_t take = std::min(CallHandshake::kRecordSize - m_handshakeBytes.size(), left);
        m_handshakeBytes.insert(m_handshakeBytes.end(), rest, rest + take);
        at += take;
        if (m_handshakeBytes.size() < CallHandshake::kRecordSize)
            return;
        const auto step = m_pHandshake->OnRecord(m_handshakeBytes.data(), m_handshakeBytes.size());
        m_handshakeBytes.clear();
        if (!AfterHandshakeStep(static_cast<int>(step)) || !self)
            return;
    }
    if (!m_pChannel || at >= bytes.size())
        return;
    std::vector<std::vector<uint8_t>> records;
    const auto fed = m_pChannel->OnBytes(bytes.data() + at, bytes.size() - at, records);
    for (const auto& record : records) {
        if (!self || !m_pChannel)
            return;
        DispatchBytes(record.data(), record.size());
    }
    if (self && fed == kestrona::SealedChannel::Feed::kFailed)
        ChannelBroken();
}

bool CCallSocket::AfterHandshakeStep(int stepValue) {
    using kestrona::CallHandshake;
    NetContext& ctx = m_context;
    QPointer<CCallSocket> self(this);
    const auto step = static_cast<CallHandshake::Step>(stepValue);
    if (step == CallHandshake::Step::kFailed) {
        LogCall("the key exchange of an encrypted call failed", m_pHandshake->FailureReason());
        m_pHandshake.reset();
        if (m_bCallee) {
            // Nothing rang yet: the connection goes like one that never asked.
            DropUnaskedConnection();
        } else {
            Close();
            if (ctx.window)
                ctx.window->OnEncryptionFailed();
        }
        return false;
    }
    const auto out = m_pHandshake->OutgoingRecord();
    if (!out.empty())
        SendRecord(out.data(), static_cast<int>(out.size()));
    if (!self || step != CallHandshake::Step::kDone)
        return static_cast<bool>(self);
    const kestrona::CallKeys keys = m_pHandshake->Keys();
    m_pHandshake.reset();
    m_pChannel = std::make_unique<kestrona::SealedChannel>(
        m_bCallee ? keys.commandFromCallee : keys.commandFromCaller,
        m_bCallee ? keys.commandFromCaller : keys.commandFromCallee);
    const auto prologue = m_pChannel->Prologue();
    SendRecord(prologue.data(), static_cast<int>(prologue.size()));
    if (!self)
        return false;
    kestrona::IPhoneWindow* window = ctx.window;
    if (!m_bCallee) {
        if (window)
            window->OnCallSecured(keys);
        return static_cast<bool>(self);
    }
    if (window) {
        m_bAwaitingRequest = false;
        m_requestLimit.stop();
        window->OnSecuredIncomingCall(m_securedRequest, keys);
        if (self)
            window->BeginRecord(2);
    }
    return static_cast<bool>(self);
}

void CCallSocket::StartCalleeHandshake(const kestrona::RequestCall& request) {
    m_bCallee = true;
    m_securedRequest = request;
    m_pHandshake = std::make_unique<kestrona::CallHandshake>(
        kestrona::CallHandshake::Role::kCallee, *m_context.identity,
        reinterpret_cast<const uint8_t*>(m_pBuffer.get()));
    // The callee commits to its keys before it sees the caller's.
    const auto out = m_pHandshake->OutgoingRecord();
    if (!out.empty())
        SendRecord(out.data(), static_cast<int>(out.size()));
}

void CCallSocket::ChannelBroken() {
    LogCall("a sealed call record failed its check; the call's connection is closed", {});
    m_pChannel.reset();
    Close();
    if (m_bAwaitingRequest) {
        DropUnaskedConnection();
        return;
    }
    if (m_context.window)
        m_context.window->OnPeerChannelBroken();
}

void CCallSocket::OnAccept(int) {
    NetContext& ctx = m_context;
    auto incoming = std::make_unique<CCallSocket>(ctx);
    incoming->Create();
    if (!Accept(*incoming))
        return;
    // Without a window to take the call (the login is still running) the
    // caller is told busy, like any caller while a call is up; keeping its
    // connection would make every later caller busy too.
    if (!ctx.m_pPeerSocket && ctx.window && !ctx.window->PlacingCall()) {
        ctx.m_pPeerSocket = std::move(incoming);
        ctx.m_pPeerSocket->SendRecord(kestrona::kWordAccept.data(), 6);
        ctx.m_pPeerSocket->AwaitCallRequest();
    } else if (ctx.window) {
        ctx.TurnAway(std::move(incoming));
    } else {
        incoming->SendRecord(kestrona::kWordBusy.data(), 12);
        incoming->Close();
    }
}

void CCallSocket::TurnAway(PeerCommand command) {
    NetContext& ctx = m_context;
    QPointer<CCallSocket> self(this);
    const int32_t caller =
        command == PeerCommand::RequestCall
            ? kestrona::ParseRequestCall(m_pBuffer.get(), size_t(m_nReceived)).nCallerId
            : 0;
    // Told busy only once it has asked, as a caller that knows nothing of
    // this expects after its request; whatever else came is not a caller.
    if (command == PeerCommand::RequestCall)
        SendRecord(kestrona::kWordBusy.data(), 12);
    if (!self)
        return;
    ctx.DropLingering(this);  // this socket is gone from here on
    if (caller > 0 && ctx.window)
        ctx.window->OnCallWhileBusy(caller);
}

void CCallSocket::OnClose(int) {
    if (m_bEnded || m_bTurningAway) {
        m_context.DropLingering(this);
        return;
    }
    // In a call the far end's close is not acted on: the call ends on
    // "ENDTALK", a hang-up or the forced break.
    if (m_bAwaitingRequest) {
        DropUnaskedConnection();
        return;
    }
    // The proxy gave up the listening point it kept for this phone (its own
    // time-out, a restart): without a new one no caller gets through. The
    // pause keeps a proxy that drops every listening point at once from
    // being asked again and again.
    NetContext& ctx = m_context;
    if (ctx.m_pCmdListenSocket.get() == this && BoundOnProxy()) {
        QTimer::singleShot(kListenReopenDelayMs, this, [&ctx] { ctx.ChangeListenPort(true); });
    }
}

void CCallSocket::AwaitCallRequest() {
    m_bAwaitingRequest = true;
    // A far end that is gone already (it left while the proxy's listening
    // point was re-opened) is dropped from the event loop straight away.
    m_requestLimit.start(IsConnected() ? std::max(0, m_context.m_nCallRequestLimitMs) : 0);
}

void CCallSocket::DropUnaskedConnection() {
    if (!m_bAwaitingRequest)
        return;
    m_bAwaitingRequest = false;
    m_requestLimit.stop();
    NetContext& ctx = m_context;
    if (ctx.m_pPeerSocket.get() != this) {
        Close();
        return;
    }
    const bool reopen = m_bFromProxyBind;
    ctx.m_pPeerSocket.reset();  // this socket is gone from here on
    // Through the proxy a fixed listening port stays taken while the call's
    // connection holds it, so the re-open at the greeting may have failed.
    if (reopen && !(ctx.m_pCmdListenSocket && ctx.m_pCmdListenSocket->IsConnected()))
        ctx.ChangeListenPort(true);
}

bool CCallSocket::AcceptableRequest(const kestrona::RequestCall& request) {
    return kestrona::IsCallSampleRate(request.nSampleRate) &&
           kestrona::IsOfferedDelayBufferMs(request.nDelayBufferMs);
}

void CCallSocket::DispatchPeerCommand() {
    NetContext& ctx = m_context;
    QPointer<CCallSocket> self(this);
    const char* b = m_pBuffer.get();
    const bool bindReplyShape = std::memcmp(b, "\x05\x00\x00\x01", 4) == 0;
    const bool proxyOn = bindReplyShape && ctx.StoreInt(kestrona::reg::kProxy) == 1;
    kestrona::IPhoneWindow* window = ctx.window;
    const PeerCommand command = kestrona::ClassifyPeerChunk(b, m_nReceived, proxyOn);
    if (m_bTurningAway) {
        TurnAway(command);
        return;
    }

    // The callee's answers belong to a call this phone placed; on a
    // connection that came in and has not asked for a call yet they would be
    // taken for the answers to an outgoing call being dialled meanwhile.
    if (m_bAwaitingRequest) {
        switch (command) {
            case PeerCommand::Unsupported:
            case PeerCommand::AutoAnswer:
            case PeerCommand::Busy:
            case PeerCommand::Paramenter:
            case PeerCommand::StartTalk:
                return;
            default:
                break;
        }
    }

    switch (command) {
        case PeerCommand::SocksBindReply:
            if (ctx.m_pPeerSocket || !window || window->PlacingCall()) {
                SendRecord(kestrona::kWordBusy.data(), 12);
                ctx.ChangeListenPort(true);
            } else if (ctx.m_pCmdListenSocket.get() == this) {
                // The proxy's listening connection now carries the call; a new
                // one takes its place for the next caller.
                ctx.m_pPeerSocket = std::move(ctx.m_pCmdListenSocket);
                m_bFromProxyBind = true;
                ctx.ChangeListenPort(false);
                if (self && ctx.m_pPeerSocket.get() == this) {
                    SendRecord(kestrona::kWordAccept.data(), 6);
                    AwaitCallRequest();
                }
            }
            break;
        case PeerCommand::UnknownCmd:
            ctx.ShowMessage(kestrona::msg::kPeerTooOld);
            break;
        case PeerCommand::Unsupported:
            if (!window)
                break;
            if (m_bOffered && !m_pChannel)
                window->OnEncryptionRefused();
            else
                window->OnUnsupported();
            break;
        case PeerCommand::AutoAnswer:
            if (window)
                window->OnPeerAutoAnswer();
            break;
        case PeerCommand::GeneralError:
            m_nReply = REPLY_ERROR;
            m_bReplied = true;
            break;
        case PeerCommand::GeneralSuccess:
            m_nReply = REPLY_SUCCESS;
            m_bReplied = true;
            break;
        case PeerCommand::Accept:
        case PeerCommand::HttpOkAccept:
        case PeerCommand::TrailingAccept:
            m_nReply = REPLY_ACCEPT;
            m_bReplied = true;
            break;
        case PeerCommand::HttpOk: {
            // The proxy's answer means nothing to the call, but whatever the
            // far end sent at once may ride behind it in the same chunk (a
            // callee in a call refuses with "RCRESULTBUSY" before anything is
            // asked): that part is a chunk of its own.
            static constexpr std::string_view kHeadEnd = "\r\n\r\n";
            const char* end = b + m_nReceived;
            const char* body = std::search(b, end, kHeadEnd.begin(), kHeadEnd.end());
            if (body == end)
                break;
            body += kHeadEnd.size();
            const int rest = static_cast<int>(end - body);
            if (rest <= 0)
                break;
            std::memmove(m_pBuffer.get(), body, static_cast<size_t>(rest));
            std::memset(m_pBuffer.get() + rest, 0, static_cast<size_t>(kBufferSize - rest));
            m_nReceived = rest;
            DispatchPeerCommand();  // may delete this socket
            break;
        }
        case PeerCommand::RequestCall: {
            const kestrona::RequestCall request =
                kestrona::ParseRequestCall(b, static_cast<size_t>(m_nReceived));
            // Only a greeted connection that has not asked yet may ring: a
            // second request on a call's connection would start the call over.
            // A phone set to plain calls only answers any offer as the first
            // phones did; a bit this phone does not know refuses the offer.
            // A phone that does not encrypt takes an offer of calls in frames
            // in the clear (the caller goes on so unless it requires
            // encryption); an offer of encryption alone it refuses.
            const kestrona::Encryption mode = kestrona::CallEncryption(ctx.settings);
            const int32_t features = request.nFeatures;
            const bool plainOnly = ctx.settings.m_nPlainCalls != 0;
            const bool offered = (features & kestrona::kFeatureEncryptedCall) != 0;
            const bool secure = offered && mode != kestrona::Encryption::kOff && ctx.identity;
            const bool refusedPlain = !offered && mode == kestrona::Encryption::kRequired;
            if (!AcceptableRequest(request) || !m_bAwaitingRequest || m_pChannel ||
                (features & ~kestrona::kKnownFeatures) != 0 || (plainOnly && features != 0) ||
                (offered && !secure && (features & kestrona::kMediaFeatures) == 0) ||
                refusedPlain) {
                if (refusedPlain && m_bAwaitingRequest)
                    LogCall("a call without encryption was refused, as the settings require", {});
                SendPeerRecord(kestrona::kWordUnsupported.data(), 11);
                // A refused request ends a connection that never became a
                // call: the caller may come again at once (without the
                // offer it made) and must not find this phone busy.
                if (self && m_bAwaitingRequest)
                    DropUnaskedConnection();
                break;
            }
            if (secure) {
                // The phone rings once the keys are agreed; until then the
                // connection is bound by the time to ask for a call.
                if (window &&
                    m_nReceived >= static_cast<int32_t>(kestrona::kRequestCallRecordSize)) {
                    StartCalleeHandshake(request);
                } else {
                    SendRecord(kestrona::kWordUnsupported.data(), 11);
                    DropUnaskedConnection();
                }
                break;
            }
            if (window) {
                m_bAwaitingRequest = false;
                m_requestLimit.stop();
                window->OnIncomingCall(request);
                window->BeginRecord(2);
            }
            break;
        }
        case PeerCommand::Busy:
            if (window)
                window->OnBusy();
            if (self)
                Abort();
            break;
        case PeerCommand::Paramenter:
            if (window)
                window->OnParameters(
                    kestrona::ParseParamenter(b, static_cast<size_t>(m_nReceived)));
            break;
        case PeerCommand::StartTalk:
            if (window)
                window->StartTalk();
            break;
        case PeerCommand::EndTalk:
            // A connection that never became a call ends without the window.
            if (m_bAwaitingRequest) {
                DropUnaskedConnection();
                break;
            }
            if (ctx.settings.m_nProxy != 1)
                Close();
            if (window)
                window->EndCall();
            break;
        case PeerCommand::Unknown: {
            const std::string text =
                kestrona::GbkToUtf8(std::string_view(b, ::strnlen(b, m_nReceived)));
            if (ctx.messages)
                ctx.messages->ShowText(text);
            if (self)
                SendPeerRecord(kestrona::kWordUnknownCmd.data(), 9);
            break;
        }
    }
}
