// A private PipeWire desktop sound stack in a temporary folder, beside
// PulseFixture: its own runtime folder and session bus, then pipewire,
// wireplumber and pipewire-pulse in that order. The microphone and the
// loudspeaker are pipe tunnels on FIFOs, made by pipewire itself from a
// configuration drop-in, so they survive a restart of pipewire-pulse as a
// sound card would; a long-running pw-record keeps the microphone drained.
//
// Clients find it as a desktop session's programs do: through
// XDG_RUNTIME_DIR=RuntimeDir() alone (ServerAddress() names the same
// socket). KillDaemon kills pipewire-pulse, the server clients talk to;
// Start brings it back.
#pragma once

#include "support/pulse_fixture.h"

namespace kestrona::testing {

class PipeWireFixture : public PulseFixture {
  public:
    explicit PipeWireFixture(std::filesystem::path dir);
    ~PipeWireFixture() override;

    // pipewire-pulse dies at once (SIGKILL); the devices stay.
    void KillDaemon() override;
    std::string ServerAddress() const override;
    std::string Log() const override;
    std::filesystem::path RuntimeDir() const { return m_dir / "run"; }

  protected:
    bool StartServer(std::string* why) override;
    void StopServer(int signal) override;
    void AdjustEnvironment(std::map<std::string, std::string>& env) const override;

  private:
    bool StartStack(std::string* why);

    pid_t m_bus = -1;
    pid_t m_pipewire = -1;
    pid_t m_session = -1;  // wireplumber
};

}  // namespace kestrona::testing
