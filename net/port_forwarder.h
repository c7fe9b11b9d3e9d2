// Something that makes a local listening port reachable from outside under
// another address and port: the home router's forwarding, or an allocation
// on the service's relay. The answering side of a call puts its two audio
// ports behind whichever makes this phone reachable.
#pragma once

#include <functional>
#include <string>

namespace kestrona {

// Where peers reach the port: the outside address and port, port 0 when it
// could not be had.
struct PortGrant {
    std::string address;
    int port = 0;
};

class IPortForwarder {
  public:
    using Done = std::function<void(const PortGrant&)>;
    virtual ~IPortForwarder() = default;
    // `done` runs once on the owner's thread, unless the request was
    // withdrawn (Unmap) or the forwarder shut down first. Returns the id.
    virtual int Map(int localPort, Done done) = 0;
    virtual void Unmap(int id) = 0;
};

}  // namespace kestrona
