// The two router protocols behind the port mapper: NAT-PMP (a UDP exchange
// with the default gateway) and UPnP IGD (a multicast search, then SOAP
// requests over HTTP). Both run on the mapper's worker thread only.
#include <arpa/inet.h>
#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>
#include <miniupnpc/upnperrors.h>
#include <natpmp.h>
#include <poll.h>

#include <QtGlobal>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "net/port_mapper.h"

namespace kestrona {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How long one NAT-PMP request may take, its retries included (the
// library's own schedule would go on for minutes).
constexpr milliseconds kNatPmpRequestLimit{2000};
// One round of the UPnP search: how long it listens for answers (the
// library listens at least a second).
constexpr milliseconds kUpnpSearchRound{250};

class NatPmpBackend : public IPortMapBackend {
  public:
    ~NatPmpBackend() override {
        if (m_bOpen) {
            closenatpmp(&m_pmp);
        }
    }
    const char* Name() const override { return "NAT-PMP"; }

    bool Discover(milliseconds limit, const std::atomic<bool>& cancel) override {
        if (!m_bOpen) {
            if (initnatpmp(&m_pmp, 0, 0) < 0) {
                return false;
            }
            m_bOpen = true;
        }
        natpmpresp_t response{};
        if (!Exchange([this] { return sendpublicaddressrequest(&m_pmp); },
                      NATPMP_RESPTYPE_PUBLICADDRESS, 0, limit, response, &cancel)) {
            return false;
        }
        char text[INET_ADDRSTRLEN] = {};
        if (inet_ntop(AF_INET, &response.pnu.publicaddress.addr, text, sizeof text)) {
            m_address = text;
        }
        return true;
    }

    int Map(int internal, int external, int leaseSeconds, int& grantedLease) override {
        grantedLease = 0;
        natpmpresp_t response{};
        const auto send = [&] {
            return sendnewportmappingrequest(
                &m_pmp, NATPMP_PROTOCOL_TCP, static_cast<uint16_t>(internal),
                static_cast<uint16_t>(external), static_cast<uint32_t>(leaseSeconds));
        };
        if (!m_bOpen) {
            return 0;
        }
        // A second try for an answer lost on a busy network; after that, a
        // mapping the router may have made without its answer reaching us is
        // removed, so that nothing is left forwarded that no one renews.
        if (!Exchange(send, NATPMP_RESPTYPE_TCPPORTMAPPING, internal, kNatPmpRequestLimit,
                      response) &&
            !Exchange(send, NATPMP_RESPTYPE_TCPPORTMAPPING, internal, kNatPmpRequestLimit,
                      response)) {
            qInfo("kestrona: port mapping: NAT-PMP gave no mapping for port %d (%s %d)", internal,
                  m_nLastError ? "error" : "no answer in time", m_nLastError);
            Unmap(internal, external);
            return 0;
        }
        grantedLease =
            static_cast<int>(std::min<uint32_t>(response.pnu.newportmapping.lifetime, 24u * 3600u));
        return response.pnu.newportmapping.mappedpublicport;
    }

    void Unmap(int internal, int external) override {
        (void)external;
        if (!m_bOpen) {
            return;
        }
        // A lifetime of 0 with no suggested port removes the mapping.
        natpmpresp_t response{};
        Exchange(
            [&] {
                return sendnewportmappingrequest(&m_pmp, NATPMP_PROTOCOL_TCP,
                                                 static_cast<uint16_t>(internal), 0, 0);
            },
            NATPMP_RESPTYPE_TCPPORTMAPPING, internal, kNatPmpRequestLimit, response);
    }

    std::string ExternalAddress() override { return m_address; }

  private:
    // Sends a request and waits for its answer until `limit` has passed,
    // letting the library resend on its schedule. An answer to an earlier
    // request (late, or for another port) is dropped and the request sent
    // anew, since the library forgets a request once any answer came.
    template <typename Send>
    bool Exchange(Send send, int type, int privatePort, milliseconds limit, natpmpresp_t& response,
                  const std::atomic<bool>* cancel = nullptr) {
        const auto deadline = Clock::now() + limit;
        m_nLastError = send();
        if (m_nLastError < 0) {
            return false;
        }
        for (;;) {
            const auto left =
                std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
            if (left <= 0 || (cancel && *cancel)) {
                m_nLastError = 0;
                return false;
            }
            timeval retry{};
            getnatpmprequesttimeout(&m_pmp, &retry);
            const long retryMs = retry.tv_sec * 1000L + retry.tv_usec / 1000L;
            pollfd fd{m_pmp.s, POLLIN, 0};
            poll(&fd, 1, static_cast<int>(std::clamp<long>(retryMs, 1, std::min(left, 200L))));
            const int r = readnatpmpresponseorretry(&m_pmp, &response);
            if (r == NATPMP_TRYAGAIN) {
                continue;
            }
            if (r < 0) {
                m_nLastError = r;
                return false;
            }
            const bool ours =
                response.type == type && (type == NATPMP_RESPTYPE_PUBLICADDRESS ||
                                          response.pnu.newportmapping.privateport == privatePort);
            if (ours) {
                return true;
            }
            m_nLastError = send();
            if (m_nLastError < 0) {
                return false;
            }
        }
    }

    natpmp_t m_pmp{};
    bool m_bOpen = false;
    // The library's code for the last failed exchange; 0: it ran out of time.
    int m_nLastError = 0;
    std::string m_address;
};

class UpnpBackend : public IPortMapBackend {
  public:
    ~UpnpBackend() override { Forget(); }
    const char* Name() const override { return "UPnP IGD"; }

    bool Discover(milliseconds limit, const std::atomic<bool>& cancel) override {
        Forget();
        // Searched in short rounds (a router answers within milliseconds),
        // so that a shutdown need not wait for the whole search.
        const auto deadline = Clock::now() + limit;
        UPNPDev* devices = nullptr;
        static const char* const kSearched[] = {
            "urn:schemas-upnp-org:device:InternetGatewayDevice:1",
            "urn:schemas-upnp-org:device:InternetGatewayDevice:2",
            "upnp:rootdevice",
        };
        for (size_t round = 0; !devices && !cancel && Clock::now() < deadline; ++round) {
            int error = 0;
            devices = upnpDiscoverDevice(kSearched[round % std::size(kSearched)],
                                         static_cast<int>(kUpnpSearchRound.count()), nullptr,
                                         nullptr, UPNP_LOCAL_PORT_ANY, 0, 2, &error);
        }
        if (!devices) {
            return false;
        }
        const int found = UPNP_GetValidIGD(devices, &m_urls, &m_data, m_lan, sizeof m_lan);
        freeUPNPDevlist(devices);
        if (found == 0) {
            return false;
        }
        m_bUrls = true;
        // 1: a gateway whose outside link is up. Others (not connected, or
        // not a gateway at all) cannot forward anything.
        if (found != 1) {
            Forget();
            return false;
        }
        return true;
    }

    int Map(int internal, int external, int leaseSeconds, int& grantedLease) override {
        grantedLease = 0;
        if (!m_bUrls) {
            return 0;
        }
        char in[8], ext[8], lease[16];
        std::snprintf(in, sizeof in, "%d", internal);
        std::snprintf(ext, sizeof ext, "%d", external);
        std::snprintf(lease, sizeof lease, "%d", leaseSeconds);
        int r = UPNP_AddPortMapping(m_urls.controlURL, m_data.first.servicetype, ext, in, m_lan,
                                    "Kestrona", "TCP", nullptr, lease);
        if (r == 725) {
            // OnlyPermanentLeasesSupported: held until removed.
            r = UPNP_AddPortMapping(m_urls.controlURL, m_data.first.servicetype, ext, in, m_lan,
                                    "Kestrona", "TCP", nullptr, "0");
            leaseSeconds = 0;
        }
        if (r != UPNPCOMMAND_SUCCESS) {
            qInfo("kestrona: port mapping: UPnP refused port %d: %d %s", external, r,
                  strupnperror(r));
            return 0;
        }
        grantedLease = leaseSeconds;
        return external;
    }

    void Unmap(int internal, int external) override {
        (void)internal;
        if (!m_bUrls) {
            return;
        }
        char ext[8];
        std::snprintf(ext, sizeof ext, "%d", external);
        UPNP_DeletePortMapping(m_urls.controlURL, m_data.first.servicetype, ext, "TCP", nullptr);
    }

    std::string ExternalAddress() override {
        char address[40] = {};
        if (!m_bUrls || UPNP_GetExternalIPAddress(m_urls.controlURL, m_data.first.servicetype,
                                                  address) != UPNPCOMMAND_SUCCESS) {
            return {};
        }
        address[sizeof address - 1] = '\0';
        return address;
    }

  private:
    void Forget() {
        if (m_bUrls) {
            FreeUPNPUrls(&m_urls);
            m_bUrls = false;
        }
        m_urls = UPNPUrls{};
        m_data = IGDdatas{};
    }

    UPNPUrls m_urls{};
    IGDdatas m_data{};
    bool m_bUrls = false;
    char m_lan[64] = {};
};

}  // namespace

PortMapBackends RouterBackends() {
    return [] {
        std::vector<std::unique_ptr<IPortMapBackend>> backends;
        backends.push_back(std::make_unique<NatPmpBackend>());
        backends.push_back(std::make_unique<UpnpBackend>());
        return backends;
    };
}

}  // namespace kestrona
