#include "store/call_history.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/unique_fd.h"
#include "store/phone_book.h"
#include "store/record_file.h"

namespace kestrona {
namespace {

bool WriteAllAt(int fd, const char* data, std::size_t size, off_t offset) {
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, data, size, offset);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        offset += n;
    }
    return true;
}

}  // namespace

std::filesystem::path HistoryFile(int32_t type, const std::filesystem::path& root) {
    const char* name = nullptr;
    switch (type) {
        case kHistoryTaken:
            name = kTakenFile;
            break;
        case kHistoryMade:
            name = kMadeFile;
            break;
        case kHistoryMissed:
            name = kMissedFile;
            break;
        default:
            return {};
    }
    return root.empty() ? std::filesystem::path(name) : root / name;
}

HistoryRecord BeginRecord(int32_t number, int32_t type, const std::filesystem::path& root) {
    return BeginRecord(number, type, LocalNow(), root);
}

HistoryRecord BeginRecord(int32_t number, int32_t type, const SystemTime& now,
                          const std::filesystem::path& root) {
    HistoryRecord r;
    r.number = number;
    r.time = now;
    r.type = type;
    const std::string stem = MakeRecordStem(now);
    std::memcpy(r.stem, stem.data(), std::min(stem.size(), HistoryRecord::kStemLength));
    std::string gbk;
    if (FindGbkNameByNumber(number, gbk, root)) {
        std::memcpy(r.name, gbk.data(), std::min(gbk.size(), HistoryRecord::kNameMax));
    }
    return r;
}

AppendResult AppendRecord(const HistoryRecord& record, const std::filesystem::path& root) {
    const std::filesystem::path file = HistoryFile(record.type, root);
    if (file.empty()) {
        return AppendResult::kBadType;
    }
    UniqueFd fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
    if (fd.get() < 0) {
        return AppendResult::kOpenFailed;
    }
    // Appends from several processes must not interleave with the padding.
    while (::flock(fd.get(), LOCK_EX) != 0) {
        if (errno != EINTR) {
            return AppendResult::kOpenFailed;
        }
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        return AppendResult::kWriteFailed;
    }
    const off_t size = st.st_size;
    const off_t recordSize = static_cast<off_t>(HistoryRecord::kSize);
    // A torn record from an earlier crash is completed with zeros (which is
    // how it reads back), so this record starts on a record boundary.
    const std::size_t pad = static_cast<std::size_t>((recordSize - size % recordSize) % recordSize);
    std::string bytes(pad, '\0');
    const auto rec = ToBytes(record);
    bytes.append(reinterpret_cast<const char*>(rec.data()), rec.size());
    if (!WriteAllAt(fd.get(), bytes.data(), bytes.size(), size) || ::fdatasync(fd.get()) != 0) {
        // Take back a partial write (a full disk) so no new torn record stays.
        if (::ftruncate(fd.get(), size) == 0) {
            ::fdatasync(fd.get());
        }
        return AppendResult::kWriteFailed;
    }
    return AppendResult::kAppended;
}

std::vector<HistoryRecord> ReadHistory(const std::filesystem::path& file) {
    std::vector<HistoryRecord> records;
    for (const std::string& chunk : ReadRecordChunks(file, HistoryRecord::kSize)) {
        records.push_back(HistoryFromBytes(reinterpret_cast<const uint8_t*>(chunk.data())));
    }
    return records;
}

bool RewriteHistory(const std::filesystem::path& file, const std::vector<HistoryRecord>& records) {
    std::string bytes;
    bytes.reserve(records.size() * HistoryRecord::kSize);
    for (const HistoryRecord& r : records) {
        if (r.number != -1) {
            const auto rec = ToBytes(r);
            bytes.append(reinterpret_cast<const char*>(rec.data()), rec.size());
        }
    }
    return ReplaceFile(file, bytes);
}

}  // namespace kestrona
