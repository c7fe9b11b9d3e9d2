// Certificates for the TLS tests, made at test time in a folder of the
// caller's: a private authority and server certificates it signs (good,
// expired, for another name), and one that signs itself. PEM files; keys
// are P-256 and unencrypted.
#pragma once

#include <string>

namespace kestrona::test {

struct CertificatePair {
    std::string certificate;  // PEM file
    std::string key;          // PEM file
};

struct TestCertificates {
    // Writes every file into folder (which must exist); throws
    // std::runtime_error when OpenSSL fails.
    explicit TestCertificates(const std::string& folder);

    CertificatePair authority;    // the test CA
    CertificatePair good;         // for localhost and 127.0.0.1, by the CA
    CertificatePair expired;      // the same names, ended an hour ago
    CertificatePair other_name;   // for other.example only, by the CA
    CertificatePair self_signed;  // for localhost and 127.0.0.1, by itself
    // SHA-256 fingerprints of the DER certificates, 64 lower-case hex digits.
    std::string good_pin;
    std::string expired_pin;
    std::string self_signed_pin;
};

}  // namespace kestrona::test
