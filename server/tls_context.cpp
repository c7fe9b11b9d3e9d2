#include "server/tls_context.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <stdexcept>

namespace kestrona::server {

namespace {

// OpenSSL's reason for the last failure, and its queue emptied.
std::string OpenSslReason() {
    std::string text;
    while (unsigned long code = ERR_get_error()) {
        char line[256];
        ERR_error_string_n(code, line, sizeof line);
        text = line;  // the last entry is the most specific
    }
    return text.empty() ? "unknown error" : text;
}

[[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error(what + ": " + OpenSslReason());
}

}  // namespace

std::unique_ptr<asio::ssl::context> MakeServerTlsContext(const std::string& certificate_file,
                                                         const std::string& key_file) {
    ERR_clear_error();
    auto context = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_server);
    SSL_CTX* ctx = context->native_handle();
    if (SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION) != 1) {
        Fail("cannot limit TLS to versions 1.2 and 1.3");
    }
    SSL_CTX_set_options(
        ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
    // Every exchange is a connection of its own and phones do not resume
    // sessions: tickets would only cost work and a write each.
    SSL_CTX_set_num_tickets(ctx, 0);
    // TLS 1.2 suites with forward secrecy and authenticated encryption; 1.3's
    // own suites are all of that kind already.
    if (SSL_CTX_set_cipher_list(ctx,
                                "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
                                "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
                                "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305") != 1) {
        Fail("cannot set the TLS 1.2 ciphers");
    }
    if (SSL_CTX_use_certificate_chain_file(ctx, certificate_file.c_str()) != 1) {
        Fail("cannot read the TLS certificate " + certificate_file);
    }
    if (SSL_CTX_use_PrivateKey_file(ctx, key_file.c_str(), SSL_FILETYPE_PEM) != 1) {
        Fail("cannot read the TLS key " + key_file);
    }
    if (SSL_CTX_check_private_key(ctx) != 1) {
        Fail("the TLS key " + key_file + " does not belong to the certificate " + certificate_file);
    }
    return context;
}

}  // namespace kestrona::server
