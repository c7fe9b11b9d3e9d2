#include "net/relay_records.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "net/records.h"

namespace kestrona {
namespace {

template <std::size_t N>
std::array<char, N> Record(std::string_view word) {
    std::array<char, N> r{};
    std::memcpy(r.data(), word.data(), word.size());
    return r;
}

void PutText(char* field, std::size_t size, const std::string& text) {
    std::memcpy(field, text.data(), std::min(text.size(), size - 1));
}

// A text field: up to its zero, which must lie inside the field; only printable
// ASCII is kept, so nothing the server sends can smuggle control bytes into
// a log line or a host name.
std::string GetText(const char* field, std::size_t size) {
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        const unsigned char c = static_cast<unsigned char>(field[i]);
        if (c == 0)
            return text;
        if (c < 0x21 || c > 0x7E)
            return {};
        text.push_back(static_cast<char>(c));
    }
    // A field without its terminating zero is cut or not a text at all.
    return {};
}

bool Starts(const char* data, std::size_t received, std::string_view word, std::size_t size) {
    return received >= size && std::memcmp(data, word.data(), word.size()) == 0 &&
           data[word.size()] == 0;
}

bool ValidPort(int32_t port) {
    return port > 0 && port <= 65535;
}

}  // namespace

std::array<char, kRelayCredsRecordSize> BuildRelayCredsRecord(int32_t id) {
    auto r = Record<kRelayCredsRecordSize>("RELAYCREDS");
    PutInt32(&r[20], id);
    return r;
}

std::array<char, kReachCheckRecordSize> BuildReachCheckRecord(int32_t id, int32_t port) {
    auto r = Record<kReachCheckRecordSize>("REACHCHECK");
    PutInt32(&r[20], id);
    PutInt32(&r[24], port);
    return r;
}

std::array<char, kRelayAddrRecordSize> BuildRelayAddrRecord(int32_t id, const std::string& address,
                                                            int32_t port) {
    auto r = Record<kRelayAddrRecordSize>("RELAYADDR");
    PutInt32(&r[20], id);
    PutText(&r[24], 16, address);
    PutInt32(&r[40], port);
    return r;
}

std::array<char, kQueryPeerRecordSize> BuildQueryPeerRecord(int32_t ownId, int32_t wantedId) {
    auto r = Record<kQueryPeerRecordSize>("QUERYPEER");
    PutInt32(&r[20], ownId);
    PutInt32(&r[24], wantedId);
    return r;
}

RelayCredsReply ParseRelayCredsReply(const char* data, std::size_t received) {
    RelayCredsReply reply;
    if (!Starts(data, received, "RELAYCREDSRESULT", kRelayCredsReplySize))
        return reply;
    reply.result = GetInt32(data + 20);
    if (reply.result != 0)
        return reply;
    reply.validSeconds = GetInt32(data + 24);
    reply.username = GetText(data + 28, 32);
    reply.password = GetText(data + 60, 32);
    for (std::size_t at : {std::size_t{92}, std::size_t{164}}) {
        RelayEndpoint relay;
        relay.host = GetText(data + at, 64);
        relay.port = GetInt32(data + at + 64);
        relay.tls = (GetInt32(data + at + 68) & 1) != 0;
        if (!relay.host.empty() && ValidPort(relay.port))
            reply.relays.push_back(relay);
    }
    // Credentials without a relay, or a relay without credentials, are of
    // no use: the reply counts as no relay.
    if (reply.relays.empty() || reply.username.empty() || reply.password.empty() ||
        reply.validSeconds <= 0) {
        reply.result = 1;
        reply.relays.clear();
    }
    return reply;
}

ReachReply ParseReachReply(const char* data, std::size_t received) {
    ReachReply reply;
    if (!Starts(data, received, "REACHRESULT", kReachReplySize))
        return reply;
    const int32_t verdict = GetInt32(data + 20);
    if (verdict < 0 || verdict > 4)
        return reply;
    reply.verdict = static_cast<ReachVerdict>(verdict);
    reply.address = GetText(data + 24, 16);
    reply.port = GetInt32(data + 40);
    return reply;
}

QueryPeerReply ParseQueryPeerReply(const char* data, std::size_t received) {
    QueryPeerReply reply;
    if (!Starts(data, received, "QUERYPEERRESULT", kQueryPeerReplySize))
        return reply;
    reply.address = GetText(data + 20, 16);
    reply.port = GetInt32(data + 36);
    const int32_t mode = GetInt32(data + 40);
    if (reply.address.empty() || !ValidPort(reply.port) || (mode != 0 && mode != 1))
        return reply;
    if (mode == 1) {
        reply.relay.host = GetText(data + 44, 64);
        reply.relay.port = GetInt32(data + 108);
        reply.relay.tls = (GetInt32(data + 112) & 1) != 0;
        if (reply.relay.host.empty() || !ValidPort(reply.relay.port))
            return reply;
        reply.relayed = true;
    }
    reply.found = true;
    return reply;
}

}  // namespace kestrona
