// The two store backends for tests: a fresh SQLite file or a fresh database
// on the test process's PostgreSQL cluster, and a store that forwards to
// another so a test can change one operation.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "server/open_store.h"
#include "server/store.h"
#include "server_test_util.h"
#include "support/postgres_fixture.h"

namespace kestrona::server::test {

enum class Backend { kSqlite, kPostgres };

inline std::string BackendName(const ::testing::TestParamInfo<Backend>& info) {
    return info.param == Backend::kSqlite ? "Sqlite" : "Postgres";
}

// The --db value of a new, empty store; empty (with a test failure) when the
// cluster cannot be started.
inline std::string FreshStoreSpec(Backend backend, const TempDir& dir,
                                  const std::string& file = "directory.db") {
    if (backend == Backend::kSqlite) {
        return "sqlite:" + dir.File(file);
    }
    std::string why;
    kestrona::test::PostgresCluster* cluster = kestrona::test::PostgresCluster::Shared(&why);
    if (!cluster) {
        ADD_FAILURE() << "no PostgreSQL cluster: " << why;
        return {};
    }
    std::string uri = cluster->CreateDatabase();
    EXPECT_FALSE(uri.empty()) << cluster->Error();
    return uri;
}

class ForwardingStore : public SubscriberStore {
  public:
    explicit ForwardingStore(SubscriberStore& inner) : inner_(inner) {}
    AddResult AddSubscriber(const NewSubscriber& s, std::int32_t first) override {
        return inner_.AddSubscriber(s, first);
    }
    std::optional<std::string> PasswordHash(std::int32_t number) override {
        return inner_.PasswordHash(number);
    }
    bool AddCallReport(const CallReport& r) override { return inner_.AddCallReport(r); }
    bool PutSession(const SessionRow& s) override { return inner_.PutSession(s); }
    std::optional<SessionRow> FindSession(std::int32_t n, std::int64_t since) override {
        return inner_.FindSession(n, since);
    }
    SessionStatus TouchSession(std::int32_t n, const std::string& a, std::int64_t now,
                               std::int64_t since) override {
        return inner_.TouchSession(n, a, now, since);
    }
    SessionStatus ChangeSessionPort(std::int32_t n, const std::string& a, std::int32_t port,
                                    std::int64_t since) override {
        return inner_.ChangeSessionPort(n, a, port, since);
    }
    SessionStatus SetSessionRelay(std::int32_t n, const std::string& a, const std::string& ra,
                                  std::int32_t rp, std::int64_t since) override {
        return inner_.SetSessionRelay(n, a, ra, rp, since);
    }
    SessionStatus SetSessionHidden(std::int32_t n, const std::string& a, bool hidden,
                                   std::int64_t since) override {
        return inner_.SetSessionHidden(n, a, hidden, since);
    }
    SessionStatus RemoveSession(std::int32_t n, const std::string& a) override {
        return inner_.RemoveSession(n, a);
    }
    std::size_t SweepSessions(std::int64_t now, std::int64_t since, std::int64_t every) override {
        return inner_.SweepSessions(now, since, every);
    }
    std::vector<SessionRow> ListSessions(std::int64_t since) override {
        return inner_.ListSessions(since);
    }
    std::size_t CountSessions(std::int64_t since) override { return inner_.CountSessions(since); }
    bool SetPasswordHash(std::int32_t n, const std::string& h) override {
        return inner_.SetPasswordHash(n, h);
    }
    bool RemoveSubscriber(std::int32_t n) override { return inner_.RemoveSubscriber(n); }
    std::vector<std::int32_t> RetiredNumbers() override { return inner_.RetiredNumbers(); }
    bool RetireNumber(std::int32_t n) override { return inner_.RetireNumber(n); }
    std::vector<SubscriberRow> Subscribers() override { return inner_.Subscribers(); }
    std::vector<CallReport> CallReports() override { return inner_.CallReports(); }
    bool ImportSubscriber(const SubscriberRow& row) override {
        return inner_.ImportSubscriber(row);
    }
    int SchemaVersion() override { return inner_.SchemaVersion(); }
    bool UpdateLimits(const std::vector<std::string>& keys, std::int64_t now,
                      const std::function<void(std::vector<LimitEntry>&)>& change) override {
        return inner_.UpdateLimits(keys, now, change);
    }
    bool Ping() override { return inner_.Ping(); }
    bool ImportAll(const Snapshot& snapshot, std::string* error) override {
        return inner_.ImportAll(snapshot, error);
    }

  protected:
    SubscriberStore& inner_;
};

}  // namespace kestrona::server::test
