#include "net/server_tls.h"

#include <unistd.h>

#include <QElapsedTimer>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>
#include <algorithm>
#include <cstdio>

#include "net/message_box.h"
#include "platform/hex.h"
#include "settings/setting_names.h"
#include "settings/sys_reg_info.h"

namespace kestrona {
namespace {

enum class ErrorKind { kIssuer, kDates, kName, kOther };

ErrorKind KindOf(const QSslError& error) {
    switch (error.error()) {
        case QSslError::UnableToGetIssuerCertificate:
        case QSslError::UnableToGetLocalIssuerCertificate:
        case QSslError::UnableToVerifyFirstCertificate:
        case QSslError::SelfSignedCertificate:
        case QSslError::SelfSignedCertificateInChain:
        case QSslError::CertificateUntrusted:
        case QSslError::InvalidCaCertificate:
        case QSslError::PathLengthExceeded:
        case QSslError::SubjectIssuerMismatch:
        case QSslError::AuthorityIssuerSerialNumberMismatch:
            return ErrorKind::kIssuer;
        case QSslError::CertificateNotYetValid:
        case QSslError::CertificateExpired:
        case QSslError::InvalidNotBeforeField:
        case QSslError::InvalidNotAfterField:
            return ErrorKind::kDates;
        case QSslError::HostNameMismatch:
            return ErrorKind::kName;
        default:
            return ErrorKind::kOther;
    }
}

// The most basic fault first: a certificate nobody vouches for is reported
// as such even when its dates or names are wrong too.
TlsFailure Classify(const QList<QSslError>& errors, bool pinned) {
    bool issuer = false, dates = false, name = false, other = false;
    for (const QSslError& e : errors) {
        switch (KindOf(e)) {
            case ErrorKind::kIssuer:
                issuer = issuer || !pinned;
                break;
            case ErrorKind::kDates:
                dates = true;
                break;
            case ErrorKind::kName:
                name = name || !pinned;
                break;
            case ErrorKind::kOther:
                other = true;
                break;
        }
    }
    if (issuer || other)
        return TlsFailure::kUnknownIssuer;
    if (dates)
        return TlsFailure::kExpired;
    if (name)
        return TlsFailure::kNameMismatch;
    return TlsFailure::kHandshake;
}

// The system's authorities and those of KESTRONA_TLS_CA_FILE, read once per
// process (the system's store is a few hundred files); null when the
// variable is not set, so that Qt's own loading on demand applies.
const QList<QSslCertificate>* AuthoritiesWithExtra() {
    static const std::optional<QList<QSslCertificate>> authorities =
        []() -> std::optional<QList<QSslCertificate>> {
        const QString extraFile = qEnvironmentVariable("KESTRONA_TLS_CA_FILE");
        if (extraFile.isEmpty())
            return std::nullopt;
        const QList<QSslCertificate> extra = QSslCertificate::fromPath(extraFile, QSsl::Pem);
        if (extra.isEmpty()) {
            std::fprintf(stderr, "kestrona: no certificate in KESTRONA_TLS_CA_FILE %s\n",
                         extraFile.toLocal8Bit().constData());
        }
        return QSslConfiguration::systemCaCertificates() + extra;
    }();
    return authorities ? &*authorities : nullptr;
}

}  // namespace

int TlsFailureMessage(TlsFailure failure) {
    switch (failure) {
        case TlsFailure::kNone:
            return 0;
        case TlsFailure::kUnknownIssuer:
            return msg::kTlsUnknownIssuer;
        case TlsFailure::kExpired:
            return msg::kTlsExpired;
        case TlsFailure::kNameMismatch:
            return msg::kTlsNameMismatch;
        case TlsFailure::kPinMismatch:
            return msg::kTlsPinMismatch;
        case TlsFailure::kBadPin:
            return msg::kTlsBadPin;
        case TlsFailure::kHandshake:
            return msg::kTlsHandshake;
    }
    return msg::kTlsHandshake;
}

ServerTlsSettings ReadServerTlsSettings(const std::string& section) {
    CSysRegInfo reg;
    reg.SetRegSection(section.c_str());
    ServerTlsSettings settings;
    settings.enabled = reg.GetRegInt(reg::kHostTls) == 1;
    reg.GetRegValue(reg::kHostTlsPin, settings.pin);
    return settings;
}

std::optional<QByteArray> ParseCertificatePin(std::string_view text) {
    QByteArray pin;
    int high = -1;
    for (char c : text) {
        if (c == ':' || c == ' ' || c == '-' || c == '\t')
            continue;
        const int v = HexDigitValue(c);
        if (v < 0)
            return std::nullopt;
        if (high < 0) {
            high = v;
        } else {
            pin.append(static_cast<char>(high << 4 | v));
            high = -1;
        }
    }
    if (high >= 0 || (!pin.isEmpty() && pin.size() != 32))
        return std::nullopt;
    return pin;
}

std::string PinText(const QByteArray& pin) {
    return pin.toHex().toStdString();
}

ServerTlsCheck::ServerTlsCheck(const ServerTlsSettings& settings, QString serverHost)
    : m_host(std::move(serverHost)), m_pinText(settings.pin) {}

ServerTlsCheck::~ServerTlsCheck() {
    QObject::disconnect(m_watch);
}

TlsFailure ServerTlsCheck::Prepare(QSslSocket& socket) {
    const std::optional<QByteArray> pin = ParseCertificatePin(m_pinText);
    if (!pin)
        return TlsFailure::kBadPin;
    m_pin = *pin;
    if (!QSslSocket::supportsSsl())
        return TlsFailure::kHandshake;
    QSslConfiguration config = socket.sslConfiguration();
    config.setProtocol(QSsl::TlsV1_2OrLater);
    config.setPeerVerifyMode(QSslSocket::VerifyPeer);
    // A private authority beside the system's: a site's own, or the tests'.
    if (const QList<QSslCertificate>* authorities = AuthoritiesWithExtra())
        config.setCaCertificates(*authorities);
    socket.setSslConfiguration(config);
    socket.setPeerVerifyName(m_host);
    m_watch = QObject::connect(
        &socket, &QSslSocket::sslErrors, &socket,
        [this, &socket](const QList<QSslError>& errors) { OnErrors(socket, errors); });
    return TlsFailure::kNone;
}

void ServerTlsCheck::OnErrors(QSslSocket& socket, const QList<QSslError>& errors) {
    m_errors = errors;
    if (m_pin.isEmpty())
        return;
    // The pin stands for the issuer and the name; the dates still count.
    const bool pinned = socket.peerCertificate().digest(QCryptographicHash::Sha256) == m_pin;
    const bool onlyIssuerAndName =
        std::all_of(errors.begin(), errors.end(), [](const QSslError& e) {
            const ErrorKind kind = KindOf(e);
            return kind == ErrorKind::kIssuer || kind == ErrorKind::kName;
        });
    if (pinned && onlyIssuerAndName)
        socket.ignoreSslErrors();
    if (!pinned)
        m_errors = {QSslError(QSslError::CertificateRejected)};
}

TlsFailure ServerTlsCheck::Result(const QSslSocket& socket, bool encrypted) const {
    const bool pinned = !m_pin.isEmpty();
    if (encrypted) {
        if (pinned && socket.peerCertificate().digest(QCryptographicHash::Sha256) != m_pin)
            return TlsFailure::kPinMismatch;
        return TlsFailure::kNone;
    }
    if (pinned && m_errors.size() == 1 &&
        m_errors.front().error() == QSslError::CertificateRejected)
        return TlsFailure::kPinMismatch;
    if (m_errors.isEmpty())
        return TlsFailure::kHandshake;
    return Classify(m_errors, pinned);
}

std::unique_ptr<QSslSocket> OpenServerTlsBlocking(int fd, const std::string& host,
                                                  const ServerTlsSettings& settings, int limitMs,
                                                  const std::function<bool()>& stop,
                                                  TlsFailure* failure) {
    auto socket = std::make_unique<QSslSocket>();
    *failure = TlsFailure::kHandshake;
    if (!socket->setSocketDescriptor(fd)) {
        ::close(fd);
        return nullptr;
    }
    ServerTlsCheck check(settings, QString::fromStdString(host));
    *failure = check.Prepare(*socket);
    if (*failure != TlsFailure::kNone)
        return nullptr;
    QElapsedTimer clock;
    clock.start();
    socket->startClientEncryption();
    // In slices, so that a stop is seen within one.
    while (!socket->isEncrypted() && socket->state() == QAbstractSocket::ConnectedState) {
        const qint64 left = limitMs - clock.elapsed();
        if (left <= 0 || (stop && stop()))
            break;
        socket->waitForEncrypted(static_cast<int>(std::min<qint64>(left, 200)));
    }
    *failure = check.Result(*socket, socket->isEncrypted());
    if (*failure != TlsFailure::kNone) {
        socket->abort();
        return nullptr;
    }
    return socket;
}

}  // namespace kestrona
