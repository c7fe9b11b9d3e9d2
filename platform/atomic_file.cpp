#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <string>
#include <utility>

#include "platform/unique_fd.h"

namespace kestrona {
namespace {

std::mutex g_hookMutex;
std::function<void(const std::filesystem::path&)> g_beforeRename;

std::error_code LastError() {
    return {errno, std::generic_category()};
}

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

bool WriteFileAtomically(const std::filesystem::path& path, std::string_view data,
                         std::error_code& ec) {
    ec.clear();
    const std::filesystem::path dir = path.has_parent_path() ? path.parent_path() : ".";
    // A name of our own rather than mkstemp's, so that open() applies the
    // umask to a new file the usual way.
    static std::atomic<unsigned> counter{0};
    std::filesystem::path tmp;
    int raw = -1;
    for (int attempt = 0; attempt < 100 && raw < 0; ++attempt) {
        tmp = dir / ("." + path.filename().string() + ".tmp-" + std::to_string(::getpid()) + "-" +
                     std::to_string(counter.fetch_add(1)));
        raw = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (raw < 0 && errno != EEXIST) {
            break;
        }
    }
    if (raw < 0) {
        ec = LastError();
        return false;
    }
    UniqueFd fd(raw);
    auto fail = [&]() {
        ec = LastError();
        fd.Close();
        ::unlink(tmp.c_str());
        return false;
    };
    // A replaced file keeps its permissions.
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && ::fchmod(fd.get(), st.st_mode & 07777) != 0) {
        return fail();
    }
    if (!WriteAll(fd.get(), data) || ::fsync(fd.get()) != 0 || !fd.Close()) {
        return fail();
    }
    {
        std::function<void(const std::filesystem::path&)> hook;
        {
            std::lock_guard lock(g_hookMutex);
            hook = g_beforeRename;
        }
        if (hook) {
            hook(tmp);
        }
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        return fail();
    }
    // The rename itself must reach the disk too, or a power cut could bring
    // back the old directory entry.
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

bool WriteFileAtomically(const std::filesystem::path& path, std::string_view data) {
    std::error_code ec;
    return WriteFileAtomically(path, data, ec);
}

bool ReadWholeFile(const std::filesystem::path& path, std::string& out, std::error_code& ec) {
    ec.clear();
    out.clear();
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        ec = LastError();
        return false;
    }
    char buf[8192];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            ec = LastError();
            return false;
        }
        if (n == 0) {
            return true;
        }
        out.append(buf, static_cast<std::size_t>(n));
    }
}

void SetBeforeRenameHookForTest(std::function<void(const std::filesystem::path& tmp)> hook) {
    std::lock_guard lock(g_hookMutex);
    g_beforeRename = std::move(hook);
}

}  // namespace kestrona
