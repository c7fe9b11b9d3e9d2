// What an encrypted call's keys say: the four characters both users read
// out, whether the peer's identity key is the one remembered for its number
// (trust on first use), and the keys each audio stream is sealed with. A
// plain call has none of it.
#pragma once

#include <QString>
#include <cstdint>
#include <memory>

#include "app/call_services.h"
#include "platform/call_crypto.h"

namespace kestrona {

class CCallSecurity {
  public:
    explicit CCallSecurity(ICallServices& services) : m_services(services) {}

    // The call's keys from now on (null: a plain call); what was known of
    // the peer is forgotten.
    void SetKeys(const CallKeys* keys);
    void Reset() { SetKeys(nullptr); }

    // Compares the peer's identity with the one remembered for its number;
    // a changed one is said in the log (the display shows it too).
    void CheckPeer(int32_t number);
    // The call was taken up (talking, or the answering machine): a new or
    // changed identity is remembered from now on, once a call.
    void AcceptPeer(int32_t number);
    // Each stream is named by the callee's port it runs to.
    void GiveStreamKeys(ICallEngine& engine, bool incoming) const;

    bool Encrypted() const { return m_pKeys != nullptr; }
    QString Sas() const;
    bool IdentityChanged() const { return m_pKeys && m_identity == PeerIdentity::kChanged; }
    PeerIdentity Identity() const { return m_identity; }

  private:
    ICallServices& m_services;
    std::unique_ptr<CallKeys> m_pKeys;
    PeerIdentity m_identity = PeerIdentity::kNew;
    bool m_bKept = false;
};

}  // namespace kestrona
