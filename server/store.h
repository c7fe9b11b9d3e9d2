// Where subscribers and call reports are kept. SQLite implements it now; a
// PostgreSQL backend is to implement the same interface.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kestrona::server {

struct NewSubscriber {
    std::string name;  // texts exactly as the client sent them (code page 936)
    std::string password_hash;
    std::string email;
    std::string country;
    std::string city;
    std::string registered_from;  // peer address
};

struct CallReport {
    std::int32_t kind = 0;
    std::int32_t other = 0;
    std::int32_t own = 0;
    std::int32_t seconds = 0;
    std::string reported_from;
};

enum class AddStatus { kAdded, kEmailTaken, kNumbersExhausted, kFailed };

struct AddResult {
    AddStatus status = AddStatus::kFailed;
    std::int32_t number = 0;
};

class SubscriberStore {
  public:
    virtual ~SubscriberStore() = default;
    // Gives the next free number, never below first_number. E-mail addresses
    // are unique regardless of the case of their letters.
    virtual AddResult AddSubscriber(const NewSubscriber& subscriber, std::int32_t first_number) = 0;
    // The encoded password hash of a number, or nothing if it is not registered.
    virtual std::optional<std::string> PasswordHash(std::int32_t number) = 0;
    virtual bool AddCallReport(const CallReport& report) = 0;
};

}  // namespace kestrona::server
