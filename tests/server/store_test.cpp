// The stores themselves: schema versions, and work that several instances
// share.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "server/open_store.h"
#include "server/sqlite_store.h"
#include "server_test_util.h"
#include "store_backends.h"

namespace kestrona::server {
namespace {

class ServerStoreTest : public ::testing::TestWithParam<test::Backend> {
  protected:
    ServerStoreTest() : spec_(test::FreshStoreSpec(GetParam(), dir_)) {}
    test::TempDir dir_;
    std::string spec_;
};

INSTANTIATE_TEST_SUITE_P(Backends, ServerStoreTest,
                         ::testing::Values(test::Backend::kSqlite, test::Backend::kPostgres),
                         test::BackendName);

// Keep-alives written together get the answers they would get one by one.
TEST_P(ServerStoreTest, KeepAlivesTogetherAnswerEachAsAlone) {
    ASSERT_FALSE(spec_.empty());
    auto store = OpenStore(spec_, 1);
    const std::int64_t now = 1'000'000'000;
    ASSERT_TRUE(store->PutSession({10000, "10.0.0.1", 7000, now - 10, {}, 0}));
    ASSERT_TRUE(store->PutSession({10001, "10.0.0.2", 7000, now - 10, {}, 0}));
    ASSERT_TRUE(store->PutSession({10002, "10.0.0.3", 7000, now - 5000, {}, 0}));  // expired
    std::vector<SessionStatus> statuses = store->TouchSessions({{10000, "10.0.0.1"},
                                                                {10001, "10.0.0.9"},
                                                                {10002, "10.0.0.3"},
                                                                {10003, "10.0.0.1"},
                                                                {10000, "10.0.0.1"}},
                                                               now, now - 1000);
    EXPECT_EQ(statuses,
              (std::vector<SessionStatus>{SessionStatus::kDone, SessionStatus::kOtherAddress,
                                          SessionStatus::kNoSession, SessionStatus::kNoSession,
                                          SessionStatus::kDone}));
    EXPECT_EQ(store->FindSession(10000, now)->last_seen_ms, now);
    EXPECT_EQ(store->FindSession(10001, now - 1000)->last_seen_ms, now - 10);
}

// Two instances writing lots that share numbers, each in its own order,
// wait for each other at most: no lot fails as a deadlock's victim.
TEST_P(ServerStoreTest, InstancesWritingTheSameSessionsAtOnceNeverDeadlock) {
    ASSERT_FALSE(spec_.empty());
    auto first = OpenStore(spec_, 1);
    auto second = OpenStore(spec_, 1);
    const std::int64_t now = 1'000'000'000;
    std::vector<SubscriberStore::Touch> forward;
    for (std::int32_t n = 10000; n < 12000; ++n) {
        ASSERT_TRUE(first->PutSession({n, "10.0.0.1", 7000, now, {}, 0}));
        forward.push_back({n, "10.0.0.1"});
    }
    std::vector<SubscriberStore::Touch> backward(forward.rbegin(), forward.rend());
    std::atomic<int> failed{0};
    auto write = [&](SubscriberStore& store, const std::vector<SubscriberStore::Touch>& lot) {
        for (int round = 1; round <= 20; ++round) {
            for (SessionStatus s : store.TouchSessions(lot, now + round, now - 1000)) {
                failed += s != SessionStatus::kDone;
            }
        }
    };
    std::thread other([&] { write(*second, backward); });
    write(*first, forward);
    other.join();
    EXPECT_EQ(failed.load(), 0);
}

// A migration whose copy fails half-way leaves the target as it was.
TEST_P(ServerStoreTest, AnImportThatFailsStoresNothing) {
    ASSERT_FALSE(spec_.empty());
    auto store = OpenStore(spec_, 1);
    SubscriberStore::Snapshot snapshot;
    snapshot.subscribers = {{10000, {"a", "h", "same@x", "", "", "1.2.3.4"}, 1},
                            {10001, {"b", "h", "SAME@x", "", "", "1.2.3.4"}, 2}};
    snapshot.retired = {9999};
    snapshot.sessions = {{10000, "1.2.3.4", 7000, 5, {}, 0}};
    std::string why;
    EXPECT_FALSE(store->ImportAll(snapshot, &why));
    EXPECT_NE(why.find("10001"), std::string::npos) << why;
    EXPECT_TRUE(store->Subscribers().empty());
    EXPECT_TRUE(store->RetiredNumbers().empty());
    snapshot.subscribers.pop_back();
    EXPECT_TRUE(store->ImportAll(snapshot, &why)) << why;
    EXPECT_EQ(store->Subscribers().size(), 1u);
    EXPECT_EQ(store->ListSessions(0).size(), 1u);
}

// Instances sweep at the same moment: each expired session is removed once,
// by one of them, and live sessions stay.
TEST_P(ServerStoreTest, ExpiredSessionsAreSweptOnceByOneOfSeveralInstances) {
    ASSERT_FALSE(spec_.empty());
    std::vector<std::unique_ptr<SubscriberStore>> instances;
    for (int i = 0; i < 3; ++i) {
        instances.push_back(OpenStore(spec_, 2));
    }
    const std::int64_t now = 1'000'000'000;
    for (int n = 1; n <= 60; ++n) {
        // Even numbers were last seen long ago.
        ASSERT_TRUE(
            instances[0]->PutSession({n, "10.0.0.1", 7000, n % 2 ? now : now - 500'000, {}, 0}));
    }
    std::atomic<std::size_t> removed{0};
    std::atomic<int> sweepers{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            std::size_t n = instances[t % 3]->SweepSessions(now, now - 180'000, 180'000);
            removed += n;
            sweepers += n > 0;
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(removed.load(), 30u);
    EXPECT_EQ(sweepers.load(), 1);
    EXPECT_EQ(instances[1]->CountSessions(now - 180'000), 30u);
    EXPECT_EQ(instances[2]->ListSessions(0).size(), 30u);
    // Within the period nobody sweeps again; after it, one does.
    ASSERT_TRUE(instances[0]->PutSession({99, "10.0.0.1", 7000, now - 500'000, {}, 0}));
    EXPECT_EQ(instances[1]->SweepSessions(now + 1000, now - 179'000, 180'000), 0u);
    EXPECT_EQ(instances[2]->SweepSessions(now + 180'000, now, 180'000), 1u);
}

TEST_P(ServerStoreTest, ADatabaseFromANewerServerIsRefused) {
    ASSERT_FALSE(spec_.empty());
    auto store = OpenStore(spec_, 1);
    EXPECT_EQ(store->SchemaVersion(), kSchemaVersion);
    store.reset();
    // Reopening an up-to-date database changes nothing.
    EXPECT_EQ(OpenStore(spec_, 1)->SchemaVersion(), kSchemaVersion);
    if (GetParam() == test::Backend::kSqlite) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(dir_.File("directory.db").c_str(), &db), SQLITE_OK);
        sqlite3_exec(db, "UPDATE schema_version SET version = 99", nullptr, nullptr, nullptr);
        sqlite3_close(db);
    } else {
        PGconn* conn = PQconnectdb(spec_.c_str());
        PQclear(PQexec(conn, "UPDATE schema_version SET version = 99"));
        PQfinish(conn);
    }
    EXPECT_THROW(OpenStore(spec_, 1), std::runtime_error);
}

// The database restarts under a running server: requests during the outage
// fail as failures (never as "no session"), and the pool recovers after it.
TEST(ServerPostgresStore, ConnectionsRecoverFromADatabaseRestart) {
    kestrona::test::PostgresCluster cluster;
    ASSERT_TRUE(cluster.Start()) << cluster.Error() << cluster.Log();
    std::string uri = cluster.CreateDatabase();
    auto store = OpenStore(uri, 2);
    const std::int64_t now = 1'000'000'000;
    ASSERT_TRUE(store->PutSession({10000, "10.0.0.1", 7000, now, {}, 0}));
    cluster.Stop();
    EXPECT_EQ(store->TouchSession(10000, "10.0.0.1", now + 1, now - 1000), SessionStatus::kFailed);
    EXPECT_THROW(store->PasswordHash(10000), std::runtime_error);
    ASSERT_TRUE(cluster.Restart()) << cluster.Error() << cluster.Log();
    // Connections are opened again in the background, not by the requests:
    // within moments every one of them works again.
    auto eventually = [](auto ok) {
        for (int i = 0; i < 100; ++i) {
            if (ok()) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    };
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(eventually([&] {
            return store->TouchSession(10000, "10.0.0.1", now + 2, now - 1000) ==
                   SessionStatus::kDone;
        }));
        EXPECT_TRUE(eventually([&] {
            return store
                       ->AddSubscriber({"n", "h", "e" + std::to_string(i) + "@x", "", "", ""},
                                       10000)
                       .status == AddStatus::kAdded;
        }));
    }
    EXPECT_FALSE(store->PasswordHash(99999).has_value());
}

// A file exactly as the first server wrote it, with no version table.
// Subscribers' addresses and password hashes are the server's alone.
TEST(ServerSqliteFiles, ANewDatabaseAndTheFoldersMadeForItAreTheOwnersAlone) {
    const mode_t old = ::umask(022);
    test::TempDir dir;
    const std::string path = dir.File("new/state/kestrona.db");
    {
        auto store = OpenStore(path, 1);
        ASSERT_TRUE(store->PutSession({10000, "10.0.0.1", 7000, 5, {}, 0}));
    }
    auto mode = [](const std::string& p) {
        struct stat st {};
        EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
        return st.st_mode & 0777;
    };
    EXPECT_EQ(mode(dir.File("new")), 0700u);
    EXPECT_EQ(mode(dir.File("new/state")), 0700u);
    for (const char* suffix : {"", "-wal", "-shm"}) {
        if (::access((path + suffix).c_str(), F_OK) == 0) {
            EXPECT_EQ(mode(path + suffix), 0600u) << suffix;
        }
    }
    ::umask(old);
}

TEST(ServerSqliteUpgrade, AFileOfTheFirstServerKeepsEverySubscriberAndReport) {
    test::TempDir dir;
    std::string path = dir.File("old.db");
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    const char* old = R"sql(
PRAGMA journal_mode=WAL;
CREATE TABLE subscribers (
    number INTEGER PRIMARY KEY, name BLOB NOT NULL, password_hash TEXT NOT NULL,
    email BLOB NOT NULL, email_key BLOB NOT NULL UNIQUE, country BLOB NOT NULL,
    city BLOB NOT NULL, registered_at INTEGER NOT NULL, registered_from TEXT NOT NULL);
CREATE TABLE call_reports (
    id INTEGER PRIMARY KEY, reported_at INTEGER NOT NULL, kind INTEGER NOT NULL,
    other INTEGER NOT NULL, own INTEGER NOT NULL, seconds INTEGER NOT NULL,
    reported_from TEXT NOT NULL);
INSERT INTO subscribers VALUES (10000, X'D5C5C8FD', '$argon2id$v=19$m=8,t=1,p=1$abc$def',
    X'4140422E63', X'6140622E63', X'D6D0B9FA', X'B1B1BEA9', 1700000000, '10.0.0.7');
INSERT INTO subscribers VALUES (10001, X'6E', '$argon2id$x', X'6240622E63', X'6240622E63',
    X'', X'', 1700000001, '10.0.0.8');
INSERT INTO call_reports VALUES (1, 1700000100, 2, 10001, 10000, 42, '10.0.0.7');
)sql";
    ASSERT_EQ(sqlite3_exec(db, old, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);

    SqliteStore store(path);
    EXPECT_EQ(store.SchemaVersion(), kSchemaVersion);
    std::vector<SubscriberRow> rows = store.Subscribers();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].number, 10000);
    EXPECT_EQ(rows[0].data.name, "\xD5\xC5\xC8\xFD");
    EXPECT_EQ(rows[0].data.email, "A@B.c");
    EXPECT_EQ(rows[0].data.city, "\xB1\xB1\xBE\xA9");
    EXPECT_EQ(rows[0].registered_at, 1700000000);
    EXPECT_EQ(*store.PasswordHash(10000), "$argon2id$v=19$m=8,t=1,p=1$abc$def");
    std::vector<CallReport> reports = store.CallReports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].seconds, 42);
    EXPECT_EQ(reports[0].reported_at, 1700000100);
    // The old rows go on working under the new schema.
    EXPECT_EQ(store.AddSubscriber({"n", "h", "a@b.C", "", "", ""}, 10000).status,
              AddStatus::kEmailTaken);
    EXPECT_EQ(store.AddSubscriber({"n", "h", "new@x", "", "", ""}, 10000).number, 10002);
    EXPECT_TRUE(store.PutSession({10000, "10.0.0.7", 7000, 5, {}, 0}));
    EXPECT_EQ(store.FindSession(10000, 0)->port, 7000);
}

}  // namespace
}  // namespace kestrona::server
