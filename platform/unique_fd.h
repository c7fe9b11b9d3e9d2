// Owner of a POSIX file descriptor: closes it when it goes out of scope.
#pragma once

#include <unistd.h>

namespace kestrona {

class UniqueFd {
  public:
    explicit UniqueFd(int fd = -1) : m_fd(fd) {}
    ~UniqueFd() { Close(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int get() const { return m_fd; }
    // Closes at once; false when close() failed (the descriptor is gone
    // either way, and a later Close does nothing).
    bool Close() {
        if (m_fd < 0) {
            return true;
        }
        const int r = ::close(m_fd);
        m_fd = -1;
        return r == 0;
    }

    // Hands the descriptor to a new owner; this one holds none afterwards.
    int release() {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }

  private:
    int m_fd;
};

}  // namespace kestrona
