#include "server/admin.h"

#include <charconv>
#include <chrono>
#include <exception>
#include <memory>

#include "server/open_store.h"
#include "server/options.h"
#include "server/password.h"
#include "server/text.h"

namespace kestrona::server {

namespace {

bool ParseSubscriberNumber(const std::string& text, std::int32_t& number) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
    return ec == std::errc() && end == text.data() + text.size() && number > 0;
}

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The password the phone would send for what the operator typed: code page
// 936, at most the 19 bytes of the login record's field.
bool PhonePassword(std::string line, std::string& password, std::string& why) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    if (line.empty()) {
        why = "the new password is empty";
        return false;
    }
    password = Utf8ToCp936(line);
    if (password.find('?') != std::string::npos && line.find('?') == std::string::npos) {
        why = "the new password has characters a phone cannot send";
        return false;
    }
    if (password.size() > 19) {
        why = "the new password is longer than the 19 bytes a phone can send";
        return false;
    }
    return true;
}

}  // namespace

std::string AdminHelpText() {
    return R"(Usage: kestrona-server admin sessions [--db DB] [--session-timeout S]
       kestrona-server admin remove NUMBER [--db DB]
       kestrona-server admin set-password NUMBER [--db DB] < new-password
       kestrona-server migrate --from DB --to DB

  sessions       lists the phones online: number, address, port and seconds
                 since their last keep-alive
  remove         removes a subscriber and its session; its number is never
                 given out again
  set-password   sets a new password, read as one line from standard input;
                 servers running on the database take it at the next login
  migrate        copies subscribers, retired numbers, call reports and sessions
                 into an empty database of either kind, e.g.
                 --from sqlite:/srv/directory.db --to postgresql://kestrona@db/kestrona

DB is a SQLite file (PATH or sqlite:PATH) or a postgresql:// URI, as for the
server's --db.
)";
}

int RunAdmin(const std::vector<std::string>& args, std::FILE* in, std::FILE* out, std::FILE* err) {
    if (args.empty() || args[0] == "--help" || args[0] == "-h") {
        std::fputs(AdminHelpText().c_str(), args.empty() ? err : out);
        return args.empty() ? 2 : 0;
    }
    const std::string& action = args[0];
    std::size_t first_option = 1;
    std::int32_t number = 0;
    if (action == "remove" || action == "set-password") {
        if (args.size() < 2 || !ParseSubscriberNumber(args[1], number)) {
            std::fprintf(err, "kestrona-server admin %s: needs a subscriber number\n",
                         action.c_str());
            return 2;
        }
        first_option = 2;
    } else if (action != "sessions") {
        std::fprintf(err, "kestrona-server admin: unknown command %s\n", action.c_str());
        return 2;
    }
    ParsedOptions parsed = ParseOptions(
        std::vector<std::string>(args.begin() + static_cast<long>(first_option), args.end()));
    if (!parsed.error.empty()) {
        std::fprintf(err, "kestrona-server admin: %s\n", parsed.error.c_str());
        return 2;
    }
    const Options& o = parsed.options;
    try {
        std::string db = o.db_path.empty() ? DefaultDatabasePath() : o.db_path;
        std::unique_ptr<SubscriberStore> store = OpenStore(db, 1);
        if (action == "sessions") {
            std::int64_t now = NowMs();
            std::int64_t timeout_ms = 1000LL * o.session_timeout_s.value_or(3 * o.live_period_s);
            for (const SessionRow& s : store->ListSessions(now - timeout_ms + 1)) {
                std::fprintf(out, "%d\t%s\t%d\t%lld\n", s.number, s.address.c_str(), s.port,
                             static_cast<long long>((now - s.last_seen_ms) / 1000));
            }
            return 0;
        }
        if (action == "remove") {
            if (!store->RemoveSubscriber(number)) {
                std::fprintf(err, "kestrona-server admin: no subscriber %d\n", number);
                return 1;
            }
            std::fprintf(out, "removed %d\n", number);
            return 0;
        }
        std::string line;
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, in)) {
            line += buffer;
            if (!line.empty() && line.back() == '\n') {
                break;
            }
        }
        std::string password;
        std::string why;
        if (!PhonePassword(line, password, why)) {
            std::fprintf(err, "kestrona-server admin: %s\n", why.c_str());
            return 1;
        }
        PasswordHasher hasher(o.minimum_hash_cost ? HashCost::Minimum() : HashCost::Interactive());
        std::string hash = hasher.Hash(password);
        if (hash.empty()) {
            std::fprintf(err, "kestrona-server admin: cannot hash the password\n");
            return 1;
        }
        if (!store->SetPasswordHash(number, hash)) {
            std::fprintf(err, "kestrona-server admin: no subscriber %d\n", number);
            return 1;
        }
        std::fprintf(out, "new password set for %d\n", number);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(err, "kestrona-server admin: %s\n", e.what());
        return 1;
    }
}

int RunMigrate(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    std::string from;
    std::string to;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if ((args[i] == "--from" || args[i] == "--to") && i + 1 < args.size()) {
            (args[i] == "--from" ? from : to) = args[i + 1];
            ++i;
        } else if (args[i] == "--help" || args[i] == "-h") {
            std::fputs(AdminHelpText().c_str(), out);
            return 0;
        } else {
            std::fprintf(err, "kestrona-server migrate: unexpected %s\n", args[i].c_str());
            return 2;
        }
    }
    if (from.empty() || to.empty()) {
        std::fprintf(err, "kestrona-server migrate: needs --from DB and --to DB\n");
        return 2;
    }
    try {
        std::unique_ptr<SubscriberStore> source = OpenStore(from, 1);
        std::unique_ptr<SubscriberStore> target = OpenStore(to, 1);
        // Copying into a database in use would mix two services' numbers.
        if (!target->Subscribers().empty() || !target->RetiredNumbers().empty() ||
            !target->CallReports().empty()) {
            std::fprintf(err, "kestrona-server migrate: the target database is not empty\n");
            return 1;
        }
        // Sessions too, so that phones online during the switch do not all
        // start over at their next keep-alive. One transaction on the
        // target: a copy that fails leaves it as empty as it was.
        SubscriberStore::Snapshot snapshot{source->Subscribers(), source->RetiredNumbers(),
                                           source->CallReports(), source->ListSessions(0)};
        std::string why;
        if (!target->ImportAll(snapshot, &why)) {
            std::fprintf(err, "kestrona-server migrate: nothing copied: %s\n", why.c_str());
            return 1;
        }
        std::fprintf(out,
                     "copied %zu subscribers, %zu retired numbers, %zu call reports, %zu "
                     "sessions\n",
                     snapshot.subscribers.size(), snapshot.retired.size(), snapshot.reports.size(),
                     snapshot.sessions.size());
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(err, "kestrona-server migrate: %s\n", e.what());
        return 1;
    }
}

}  // namespace kestrona::server
