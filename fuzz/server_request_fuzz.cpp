// Feeds arbitrary bytes to the server as they would arrive on a connection:
// every prefix is scanned as a partial read, a complete record is decoded and
// handled against an in-memory database, and every reply is checked.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>

#include "server/directory.h"
#include "server/password.h"
#include "server/records.h"
#include "server/request.h"
#include "server/sqlite_store.h"

using namespace kestrona::server;

namespace {

void Check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

struct World {
    SqliteStore store{":memory:"};
    PasswordHasher hasher{HashCost::Minimum()};
    Directory directory{store, hasher, [] {
                            DirectoryConfig c;
                            c.welcome = std::string(80, 'w');
                            c.notice = std::string(300, '\xB0');
                            return c;
                        }()};
};

bool KnownReplySize(std::size_t size) {
    namespace r = records;
    return size == r::login_result::kSize || size == r::register_success::kSize ||
           size == r::register_fail_email::kSize || size == r::query_result::kSize ||
           size == r::query_not_found::kSize || size == r::kPlainReplySize ||
           size == r::relay_creds_result::kSize || size == r::reach_result::kSize ||
           size == r::query_peer_result::kSize || size == r::presence_result::kSize;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static World* world = new World;
    std::span<const std::uint8_t> input(data, size);
    ScanResult last;
    for (std::size_t n = 0; n <= size && n <= records::kLargestRequest + 1; ++n) {
        last = ScanRequest(input.first(n));
        Check(last.size <= records::kLargestRequest);
        if (last.status != ScanStatus::kNeedMore) {
            break;
        }
    }
    ScanResult whole = ScanRequest(input);
    if (whole.status != ScanStatus::kComplete) {
        return 0;
    }
    Check(whole.size == size);
    DecodeResult decoded = DecodeRequest(input);
    if (decoded.status != DecodeStatus::kOk) {
        return 0;
    }
    Check(CommandOf(decoded.request) == whole.command);
    Outcome out = world->directory.Handle(decoded.request, "127.0.0.1");
    Check(KnownReplySize(out.reply.size()));
    if (out.reply.size() == records::presence_result::kSize) {
        // Only asked numbers may be flagged.
        namespace f = records::presence_result;
        std::int32_t n = records::GetInt(out.reply.data(), f::kCount);
        Check(n >= 0 && n <= 64);
        for (std::int32_t i = n; i < 64; ++i) {
            Check(((out.reply[f::kBits + static_cast<std::size_t>(i) / 8] >> (i % 8)) & 1) == 0);
        }
    }
    if (out.reply.size() == records::login_result::kSize) {
        Check(out.reply[records::login_result::kNotice - 1] == 0);
        Check(out.reply[records::login_result::kSize - 1] == 0);
    }
    return 0;
}
