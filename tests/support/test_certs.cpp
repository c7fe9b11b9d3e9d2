#include "support/test_certs.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace kestrona::test {
namespace {

struct KeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct CertFree {
    void operator()(X509* c) const { X509_free(c); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;

void Check(bool ok, const char* what) {
    if (!ok) {
        throw std::runtime_error(std::string("test certificates: ") + what);
    }
}

Key NewKey() {
    Key key(EVP_EC_gen("P-256"));
    Check(key != nullptr, "key");
    return key;
}

void AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    Check(ext != nullptr, "extension");
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

// issuer null: signs itself. Valid from not_before to not_after seconds from now.
Cert Make(EVP_PKEY* key, const char* name, const char* alt_names, X509* issuer,
          EVP_PKEY* issuer_key, long not_before, long not_after, bool ca, long serial) {
    Cert cert(X509_new());
    Check(cert != nullptr, "certificate");
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), not_before);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), not_after);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* subject = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(name), -1, -1, 0);
    X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : subject);
    X509* signer = issuer ? issuer : cert.get();
    if (ca) {
        AddExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
        AddExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        AddExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
        AddExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
        AddExtension(cert.get(), signer, NID_subject_alt_name, alt_names);
    }
    AddExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
    Check(X509_sign(cert.get(), issuer_key ? issuer_key : key, EVP_sha256()) > 0, "signature");
    return cert;
}

CertificatePair Write(const std::string& folder, const std::string& stem, X509* cert,
                      EVP_PKEY* key) {
    CertificatePair pair{folder + "/" + stem + ".crt", folder + "/" + stem + ".key"};
    FILE* c = std::fopen(pair.certificate.c_str(), "w");
    Check(c && PEM_write_X509(c, cert) == 1, "writing a certificate");
    std::fclose(c);
    FILE* k = std::fopen(pair.key.c_str(), "w");
    Check(k && PEM_write_PrivateKey(k, key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
          "writing a key");
    std::fclose(k);
    return pair;
}

std::string Fingerprint(X509* cert) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    Check(X509_digest(cert, EVP_sha256(), digest, &size) == 1, "digest");
    std::string hex;
    char two[3];
    for (unsigned int i = 0; i < size; ++i) {
        std::snprintf(two, sizeof two, "%02x", digest[i]);
        hex += two;
    }
    return hex;
}

}  // namespace

TestCertificates::TestCertificates(const std::string& folder) {
    constexpr long kDay = 86400;
    const char* kLocal = "DNS:localhost,IP:127.0.0.1";
    Key ca_key = NewKey();
    Cert ca = Make(ca_key.get(), "Kestrona Test CA", nullptr, nullptr, nullptr, -kDay, 30 * kDay,
                   true, 1);
    authority = Write(folder, "ca", ca.get(), ca_key.get());

    Key key = NewKey();
    Cert good_cert =
        Make(key.get(), "localhost", kLocal, ca.get(), ca_key.get(), -kDay, 30 * kDay, false, 2);
    good = Write(folder, "good", good_cert.get(), key.get());
    good_pin = Fingerprint(good_cert.get());

    Cert expired_cert =
        Make(key.get(), "localhost", kLocal, ca.get(), ca_key.get(), -2 * kDay, -3600, false, 3);
    expired = Write(folder, "expired", expired_cert.get(), key.get());
    expired_pin = Fingerprint(expired_cert.get());

    Cert other = Make(key.get(), "other.example", "DNS:other.example", ca.get(), ca_key.get(),
                      -kDay, 30 * kDay, false, 4);
    other_name = Write(folder, "other", other.get(), key.get());

    Cert self = Make(key.get(), "localhost", kLocal, nullptr, nullptr, -kDay, 30 * kDay, false, 5);
    self_signed = Write(folder, "self", self.get(), key.get());
    self_signed_pin = Fingerprint(self.get());
}

}  // namespace kestrona::test
