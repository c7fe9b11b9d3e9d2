#include "media/call_recorder.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace kestrona {

void CallRecorder::SetRoot(std::filesystem::path root) {
    std::lock_guard lock(m_mutex);
    m_root = std::move(root);
}

void CallRecorder::Start(const std::string& stem) {
    std::lock_guard lock(m_mutex);
    m_stem = stem;
}

void CallRecorder::Append(const char* suffix, const uint8_t* data, int n) {
    std::filesystem::path path;
    {
        std::lock_guard lock(m_mutex);
        path = m_root / "record" / (m_stem + suffix);
    }
    // Open without truncating first, so a second call with the same stem appends.
    int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;  // no "record/" directory: the call goes on unrecorded
    if (::lseek(fd, 0, SEEK_END) >= 0) {
        for (int done = 0; done < n;) {
            ssize_t w = ::write(fd, data + done, size_t(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                break;
            done += int(w);
        }
    }
    ::close(fd);
}

}  // namespace kestrona
