// Message boxes raised by the command sockets. The sockets pass string-table
// numbers; the window side looks the text up and shows it with an OK button.
// ShowMessage may be called from the keep-alive thread (a proxy failure during
// its exchange), so an implementation must hand the box to its own thread.
#pragma once

#include <string>

namespace kestrona {

namespace msg {
inline constexpr int kExchangeTimedOut = 138;  // 通讯过程超时。
inline constexpr int kEmailTaken = 137;
inline constexpr int kBadPassword = 139;
inline constexpr int kProxyFailed = 134;
inline constexpr int kCannotListen = 146;
inline constexpr int kPeerTooOld = 147;
inline constexpr int kPeerUnreachable = 148;
// TLS to the directory server failed (net/server_tls.h).
inline constexpr int kTlsUnknownIssuer = 190;
inline constexpr int kTlsExpired = 191;
inline constexpr int kTlsNameMismatch = 192;
inline constexpr int kTlsPinMismatch = 193;
inline constexpr int kTlsHandshake = 194;
inline constexpr int kTlsBadPin = 195;
}  // namespace msg

class IMessageBox {
  public:
    virtual ~IMessageBox() = default;
    // Shows string `stringId` of the string table; returns the box's result (1 = OK).
    virtual int ShowMessage(int stringId) = 0;
    // Shows a text that came from elsewhere (UTF-8), as it is.
    virtual int ShowText(const std::string& utf8) = 0;
};

}  // namespace kestrona
