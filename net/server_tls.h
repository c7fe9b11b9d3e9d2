// TLS to the directory server: the settings that switch it on and pin the
// server's certificate, the checks every TLS connection to the server passes
// before a record goes out, and what the user is told when one fails. Both
// the exchanges of the window (on the event loop) and the keep-alive worker
// (blocking, on its own thread) use these.
#pragma once

#include <QByteArray>
#include <QList>
#include <QMetaObject>
#include <QSslError>
#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

class QSslSocket;

namespace kestrona {

// Why a TLS connection to the server was given up.
enum class TlsFailure {
    kNone,
    kUnknownIssuer,  // no trusted authority vouches for the certificate
    kExpired,        // outside its validity dates
    kNameMismatch,   // issued for another name than the server's host
    kPinMismatch,    // not the certificate whose fingerprint is pinned
    kBadPin,         // the pinned fingerprint in the settings is not one
    kHandshake,      // no TLS at all (a plain port), or the handshake broke
};

// The string-table number of the message for a failure (0 for kNone).
int TlsFailureMessage(TlsFailure failure);

struct ServerTlsSettings {
    bool enabled = false;
    // The stored pin text; empty: the system's authorities decide.
    std::string pin;
};

// Reads "HostTls" and "HostTlsPin" from a store section.
ServerTlsSettings ReadServerTlsSettings(const std::string& section);

// A SHA-256 certificate fingerprint typed as 64 hex digits, in either case,
// with or without colons, spaces or dashes between them. Empty text gives an
// empty array; anything else that is not 32 bytes of hex gives nothing.
std::optional<QByteArray> ParseCertificatePin(std::string_view text);
// The form stored: 64 lower-case hex digits.
std::string PinText(const QByteArray& pin);

// The checks of one connection. Prepare before the handshake; Result once it
// has ended. With a pin, the certificate must be the pinned one and within
// its dates, whoever issued it and whatever names it carries; without, it
// must be issued by a trusted authority (the system's, and those in the file
// named by KESTRONA_TLS_CA_FILE) for the server's host name. The object must
// outlive the handshake.
class ServerTlsCheck {
  public:
    ServerTlsCheck(const ServerTlsSettings& settings, QString serverHost);
    ~ServerTlsCheck();
    ServerTlsCheck(const ServerTlsCheck&) = delete;
    ServerTlsCheck& operator=(const ServerTlsCheck&) = delete;

    // Configures the socket (versions, authorities, name to verify) and
    // watches its certificate errors. kNone, or kBadPin when the settings
    // cannot be used: then no handshake may start.
    TlsFailure Prepare(QSslSocket& socket);
    // encrypted: the socket reached the encrypted state.
    TlsFailure Result(const QSslSocket& socket, bool encrypted) const;

  private:
    void OnErrors(QSslSocket& socket, const QList<QSslError>& errors);

    QString m_host;
    std::string m_pinText;
    QByteArray m_pin;
    QList<QSslError> m_errors;
    QMetaObject::Connection m_watch;
};

// For a thread without an event loop (the keep-alive worker): takes over the
// connected descriptor fd (closed in every case), runs the handshake and the
// checks within limitMs, giving up early when stop() says so, and returns the
// socket ready for the exchange, or null with *failure set (kHandshake also
// for a time-out or a stop).
std::unique_ptr<QSslSocket> OpenServerTlsBlocking(int fd, const std::string& host,
                                                  const ServerTlsSettings& settings, int limitMs,
                                                  const std::function<bool()>& stop,
                                                  TlsFailure* failure);

}  // namespace kestrona
