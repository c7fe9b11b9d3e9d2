// Writes the server acknowledges are on the synchronous standby too, or
// they are not acknowledged.
#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "server/postgres_store.h"
#include "support/postgres_fixture.h"

namespace kestrona::server {
namespace {

using namespace std::chrono_literals;

// A commit whose wait for the synchronous standby is cancelled (by an
// operator's pg_cancel_backend, say, while the standby is away) is kept by
// the server and reported as done with only a warning. Acknowledged, it
// could be lost in the next failover: it must count as a failure, and its
// number still never be given again.
TEST(ServerDurableWrites, AWriteTheStandbyNeverConfirmedIsNotAcknowledged) {
    if (!kestrona::test::PostgresCluster::Available()) {
        GTEST_SKIP() << "PostgreSQL 15 is not installed";
    }
    kestrona::test::PostgresCluster cluster;
    ASSERT_TRUE(cluster.Start(true)) << cluster.Error() << cluster.Log();
    const std::string db = cluster.CreateDatabase();
    ASSERT_FALSE(db.empty()) << cluster.Error();
    PostgresStore store(db + "?options=-c%20synchronous_commit%3Don", 2);
    NewSubscriber s{"n", "hash", "a@x", "China", "Beijing", "127.0.0.1"};
    AddResult first = store.AddSubscriber(s, 10000);
    ASSERT_EQ(first.status, AddStatus::kAdded);

    auto sql = [&](const std::string& text) {
        PGconn* conn = PQconnectdb(cluster.Uri("postgres").c_str());
        PGresult* r = PQexec(conn, text.c_str());
        int rows = PQresultStatus(r) == PGRES_TUPLES_OK    ? PQntuples(r)
                   : PQresultStatus(r) == PGRES_COMMAND_OK ? 0
                                                           : -1;
        PQclear(r);
        PQfinish(conn);
        return rows;
    };
    auto standby = [&](const char* names) {
        bool ok =
            sql(std::string("ALTER SYSTEM SET synchronous_standby_names = '") + names + "'") == 0 &&
            sql("SELECT pg_reload_conf()") == 1;
        // The setting reaches every backend at its next command.
        std::this_thread::sleep_for(300ms);
        return ok;
    };
    // Runs call while every commit that waits for the standby is cancelled.
    auto cancelled = [&](const auto& call) {
        std::atomic<bool> done{false};
        std::thread canceller([&] {
            while (!done) {
                sql("SELECT pg_cancel_backend(pid) FROM pg_stat_activity WHERE wait_event = "
                    "'SyncRep'");
                std::this_thread::sleep_for(50ms);
            }
        });
        auto result = call();
        done = true;
        canceller.join();
        return result;
    };
    ASSERT_TRUE(standby("nobody"));
    s.email = "b@x";
    EXPECT_EQ(cancelled([&] { return store.AddSubscriber(s, 10000).status; }), AddStatus::kFailed);
    EXPECT_FALSE(cancelled([&] { return store.SetPasswordHash(first.number, "other"); }));
    EXPECT_FALSE(cancelled([&] {
        return store.PutSession(SessionRow{first.number, "127.0.0.1", 7000, 1, {}, 0});
    }));

    ASSERT_TRUE(standby(""));
    s.email = "c@x";
    AddResult next = store.AddSubscriber(s, 10000);
    ASSERT_EQ(next.status, AddStatus::kAdded);
    // The unconfirmed one was kept by the server: its number is not reused.
    EXPECT_EQ(next.number, first.number + 2);
    EXPECT_EQ(store.Subscribers().size(), 3u);
}

}  // namespace
}  // namespace kestrona::server
