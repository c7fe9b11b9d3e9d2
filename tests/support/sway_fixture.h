// A sway compositor for one test, on wlroots' headless backend with the
// software renderer and no input devices: a Wayland session with one output
// of a chosen size and scale, no display server of the machine involved. It
// runs in a runtime folder of its own, as an unprivileged account when the
// test runs as root (sway refuses to be root's), and ends with the fixture
// or with the test process.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/proxy_fixtures.h"

namespace kestrona::test {

class SwaySession {
  public:
    // Why a session cannot be had here ("" when it can).
    static std::string Missing();

    SwaySession() = default;
    ~SwaySession();
    SwaySession(const SwaySession&) = delete;
    SwaySession& operator=(const SwaySession&) = delete;

    // One output of width x height pixels at the scale, a solid background
    // of colour (0xRRGGBB), every window floating and without a border.
    bool Start(int width, int height, double scale, unsigned colour);
    void Stop();
    const std::string& Error() const { return m_error; }

    // The socket's full path: WAYLAND_DISPLAY for a client of any account.
    std::string Display() const;
    // One IPC request ("-t get_tree", a command); swaymsg's output.
    std::string Message(const std::vector<std::string>& args) const;
    // A press and release of the left button at a point of the output in
    // logical coordinates, by `program` (tests/support/virtual_pointer.c).
    bool Press(const std::string& program, int x, int y) const;
    // The pointer brought to a point and kept there for ms milliseconds by
    // the same program, in the background (null when it did not start);
    // it ends with the returned process at the latest.
    std::unique_ptr<ChildProcess> Hover(const std::string& program, int x, int y, int ms) const;
    // The whole output as a PNG, at its pixel size.
    bool Screenshot(const std::filesystem::path& png) const;
    std::string Log() const;

  private:
    std::string Run(std::vector<std::string> argv, int* status = nullptr) const;

    TempDir m_dir;
    std::filesystem::path m_runtime;
    int m_logicalWidth = 0;
    int m_logicalHeight = 0;
    ChildProcess m_process;
    std::string m_error;
};

}  // namespace kestrona::test
