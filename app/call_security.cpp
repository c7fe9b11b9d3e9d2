#include "app/call_security.h"

#include <cstdio>

namespace kestrona {

void CCallSecurity::SetKeys(const CallKeys* keys) {
    m_pKeys = keys ? std::make_unique<CallKeys>(*keys) : nullptr;
    m_identity = PeerIdentity::kNew;
    m_bKept = false;
}

void CCallSecurity::CheckPeer(int32_t number) {
    m_identity = PeerIdentity::kNew;
    m_bKept = false;
    if (!m_pKeys) {
        return;
    }
    m_identity = m_services.CheckPeerIdentity(number, m_pKeys->peerIdentity);
    if (m_identity == PeerIdentity::kChanged) {
        std::fprintf(stderr,
                     "kestrona: warning: %d answers with another identity key than at its last "
                     "encrypted call; compare the four characters by voice\n",
                     number);
    }
}

void CCallSecurity::AcceptPeer(int32_t number) {
    if (!m_pKeys || m_bKept || m_identity == PeerIdentity::kSame) {
        return;
    }
    m_bKept = true;
    m_services.RememberPeerIdentity(number, m_pKeys->peerIdentity);
}

void CCallSecurity::GiveStreamKeys(ICallEngine& engine, bool incoming) const {
    if (!m_pKeys) {
        return;
    }
    const SecretKey32& toCallee = m_pKeys->audio[kAudioToCalleeIn];
    const SecretKey32& fromCallee = m_pKeys->audio[kAudioFromCalleeOut];
    if (incoming) {
        engine.SetStreamKeys(fromCallee, toCallee);
    } else {
        engine.SetStreamKeys(toCallee, fromCallee);
    }
}

QString CCallSecurity::Sas() const {
    return m_pKeys ? QString::fromStdString(m_pKeys->sas) : QString();
}

}  // namespace kestrona
