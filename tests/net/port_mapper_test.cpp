#include "net/port_mapper.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <set>

#include "net/net_test_util.h"

using namespace kestrona;
using kestrona::test::PumpUntil;

namespace {

// What a scripted router holds and how it behaves; shared with the worker.
struct Router {
    std::mutex mutex;
    bool present = true;
    std::set<int> refused;        // local ports it will not forward
    int offset = 0;               // grants external = wish + offset
    std::map<int, int> forwards;  // external -> local
    std::atomic<int> searches{0};
    std::atomic<int> maps{0};
    bool refuseRenewals = false;

    std::map<int, int> Forwards() {
        std::lock_guard lock(mutex);
        return forwards;
    }
};

class FakeBackend : public IPortMapBackend {
  public:
    explicit FakeBackend(Router& router) : m_router(router) {}
    const char* Name() const override { return "fake"; }
    bool Discover(std::chrono::milliseconds, const std::atomic<bool>&) override {
        ++m_router.searches;
        std::lock_guard lock(m_router.mutex);
        return m_router.present;
    }
    int Map(int internal, int external, int leaseSeconds, int& grantedLease) override {
        ++m_router.maps;
        std::lock_guard lock(m_router.mutex);
        const bool renewal = m_router.forwards.count(external) != 0;
        if (m_router.refused.count(internal) || (renewal && m_router.refuseRenewals)) {
            m_router.forwards.erase(external);
            return 0;
        }
        const int granted = renewal ? external : external + m_router.offset;
        m_router.forwards[granted] = internal;
        grantedLease = leaseSeconds;
        return granted;
    }
    void Unmap(int, int external) override {
        std::lock_guard lock(m_router.mutex);
        m_router.forwards.erase(external);
    }
    std::string ExternalAddress() override { return "203.0.113.7"; }

  private:
    Router& m_router;
};

PortMapBackends Backends(Router& router) {
    return [&router] {
        std::vector<std::unique_ptr<IPortMapBackend>> list;
        list.push_back(std::make_unique<FakeBackend>(router));
        return list;
    };
}

class PortMapperTest : public ::testing::Test {
  protected:
    void SetUp() override { kestrona::test::EnsureNetTestApp(); }
    Router router;
};

}  // namespace

TEST_F(PortMapperTest, GrantsAreReportedHeldAndGivenBackAtShutdown) {
    router.offset = 1;  // a router that hands out another port number
    router.refused.insert(5000);
    CPortMapper mapper(Backends(router), {});
    std::vector<CPortMapper::Grant> grants(3);
    int answered = 0;
    mapper.Map(4020, [&](const CPortMapper::Grant& g) { grants[0] = g, ++answered; });
    mapper.Map(5000, [&](const CPortMapper::Grant& g) { grants[1] = g, ++answered; });
    const int cancelled = mapper.Map(6000, [&](const CPortMapper::Grant& g) {
        grants[2] = g;
        ++answered;
    });
    // Given back before (or while) the router answers: its callback never
    // runs and the router keeps nothing of it.
    mapper.Unmap(cancelled);
    mapper.Map(0, [&](const CPortMapper::Grant& g) {
        EXPECT_EQ(g.port, 0);
        ++answered;
    });
    ASSERT_TRUE(PumpUntil([&] { return answered == 3; }));
    EXPECT_EQ(grants[0].address, "203.0.113.7");
    EXPECT_EQ(grants[0].port, 4021);
    EXPECT_EQ(grants[1].port, 0);  // refused: the local port stays as it is
    kestrona::test::PumpFor(50);
    EXPECT_EQ(answered, 3);
    EXPECT_EQ(router.Forwards(), (std::map<int, int>{{4021, 4020}}));
    EXPECT_EQ(router.searches, 1);

    mapper.Shutdown();
    EXPECT_TRUE(router.Forwards().empty());
    // After the shutdown every request is answered with nothing, and no
    // thread is started again.
    bool late = false;
    mapper.Map(7000, [&](const CPortMapper::Grant& g) { late = g.port == 0; });
    ASSERT_TRUE(PumpUntil([&] { return late; }));
    EXPECT_TRUE(router.Forwards().empty());
}

TEST_F(PortMapperTest, NoRouterIsAskedForOncePerWhileAndALostLeaseIsReported) {
    router.present = false;
    {
        CPortMapper::Options options;
        options.rediscoverAfter = std::chrono::hours(1);
        CPortMapper mapper(Backends(router), options);
        int zeros = 0;
        for (int port : {4000, 4001, 4002}) {
            mapper.Map(port, [&](const CPortMapper::Grant& g) { zeros += g.port == 0; });
        }
        ASSERT_TRUE(PumpUntil([&] { return zeros == 3; }));
        // Every call does not wait for another search of the network.
        EXPECT_EQ(router.searches, 1);
    }

    router.present = true;
    CPortMapper::Options options;
    options.leaseSeconds = 2;  // renewed every second
    CPortMapper mapper(Backends(router), options);
    int lost = 0;
    int id = 0;
    QObject::connect(&mapper, &CPortMapper::mappingLost, [&](int which) {
        EXPECT_EQ(which, id);
        ++lost;
    });
    int port = 0;
    id = mapper.Map(4020, [&](const CPortMapper::Grant& g) { port = g.port; });
    ASSERT_TRUE(PumpUntil([&] { return port == 4020; }));
    const int first = router.maps;
    ASSERT_TRUE(PumpUntil([&] { return router.maps >= first + 2; }, 10000));
    EXPECT_EQ(router.Forwards(), (std::map<int, int>{{4020, 4020}}));
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(mapper.ActiveCount(), 1);

    {
        std::lock_guard lock(router.mutex);
        router.refuseRenewals = true;
    }
    ASSERT_TRUE(PumpUntil([&] { return lost == 1; }, 10000));
    EXPECT_EQ(mapper.ActiveCount(), 0);
    EXPECT_TRUE(router.Forwards().empty());
}
