// The server's side of TLS: one context, built from the operator's PEM
// certificate chain and key, shared by every connection of the TLS listener.
#pragma once

#include <asio/ssl/context.hpp>
#include <memory>
#include <string>

namespace kestrona::server {

// TLS 1.2 and 1.3 only, forward-secret ciphers, no renegotiation. Throws
// std::runtime_error naming the file and OpenSSL's reason when the
// certificate or key cannot be read or do not belong together.
std::unique_ptr<asio::ssl::context> MakeServerTlsContext(const std::string& certificate_file,
                                                         const std::string& key_file);

}  // namespace kestrona::server
