#include "store/records.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/gbk.h"

namespace kestrona {
namespace {

// Little-endian field writers and readers over a byte cursor.
class Writer {
  public:
    explicit Writer(uint8_t* p) : p_(p) {}
    void I32(int32_t v) { U32(static_cast<uint32_t>(v)); }
    void U32(uint32_t v) {
        for (int i = 0; i < 4; ++i) {
            *p_++ = static_cast<uint8_t>(v >> (8 * i));
        }
    }
    void U16(uint16_t v) {
        *p_++ = static_cast<uint8_t>(v);
        *p_++ = static_cast<uint8_t>(v >> 8);
    }
    void U8(uint8_t v) { *p_++ = v; }
    void Bytes(const char* s, std::size_t n) {
        std::memcpy(p_, s, n);
        p_ += n;
    }

  private:
    uint8_t* p_;
};

class Reader {
  public:
    explicit Reader(const uint8_t* p) : p_(p) {}
    int32_t I32() { return static_cast<int32_t>(U32()); }
    uint32_t U32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            v |= static_cast<uint32_t>(*p_++) << (8 * i);
        }
        return v;
    }
    uint16_t U16() {
        const uint16_t v = static_cast<uint16_t>(p_[0] | (p_[1] << 8));
        p_ += 2;
        return v;
    }
    uint8_t U8() { return *p_++; }
    void Bytes(char* s, std::size_t n) {
        std::memcpy(s, p_, n);
        p_ += n;
    }

  private:
    const uint8_t* p_;
};

void PutTime(Writer& w, const SystemTime& t) {
    for (uint16_t v : {t.wYear, t.wMonth, t.wDayOfWeek, t.wDay, t.wHour, t.wMinute, t.wSecond,
                       t.wMilliseconds}) {
        w.U16(v);
    }
}

SystemTime GetTime(Reader& r) {
    SystemTime t;
    t.wYear = r.U16();
    t.wMonth = r.U16();
    t.wDayOfWeek = r.U16();
    t.wDay = r.U16();
    t.wHour = r.U16();
    t.wMinute = r.U16();
    t.wSecond = r.U16();
    t.wMilliseconds = r.U16();
    return t;
}

}  // namespace

SystemTime LocalNow() {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t secs = system_clock::to_time_t(now);
    const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
    localtime_r(&secs, &tm);
    SystemTime t;
    t.wYear = static_cast<uint16_t>(tm.tm_year + 1900);
    t.wMonth = static_cast<uint16_t>(tm.tm_mon + 1);
    t.wDayOfWeek = static_cast<uint16_t>(tm.tm_wday);
    t.wDay = static_cast<uint16_t>(tm.tm_mday);
    t.wHour = static_cast<uint16_t>(tm.tm_hour);
    t.wMinute = static_cast<uint16_t>(tm.tm_min);
    t.wSecond = static_cast<uint16_t>(tm.tm_sec);
    t.wMilliseconds = static_cast<uint16_t>(ms);
    return t;
}

std::string MakeRecordStem(const SystemTime& t) {
    // Wide enough for any 16-bit values, though real times give 14 digits.
    char buf[48];
    std::snprintf(buf, sizeof buf, "%.4d%.2d%.2d%.2d%.2d%.2d", t.wYear, t.wMonth, t.wDay, t.wHour,
                  t.wMinute, t.wSecond);
    return buf;
}

std::string GroupRecord::Name() const {
    return GetGbkField(name, sizeof name);
}
void GroupRecord::SetName(std::string_view utf8) {
    PutGbkField(name, sizeof name, utf8, kNameMax);
}

std::string PersonRecord::Name() const {
    return GetGbkField(name, sizeof name);
}
void PersonRecord::SetName(std::string_view utf8) {
    PutGbkField(name, sizeof name, utf8, kNameMax);
}
std::string PersonRecord::Email() const {
    return GetGbkField(email, sizeof email);
}
void PersonRecord::SetEmail(std::string_view utf8) {
    PutGbkField(email, sizeof email, utf8, kEmailMax);
}

std::string HistoryRecord::Name() const {
    return GetGbkField(name, sizeof name);
}
void HistoryRecord::SetName(std::string_view utf8) {
    PutGbkField(name, sizeof name, utf8, kNameMax);
}
std::string HistoryRecord::Stem() const {
    std::string digits(stem, strnlen(stem, kStemLength));
    // The stem names files in the recordings folder; anything but digits (a
    // damaged or foreign file) could name a path elsewhere.
    for (char c : digits) {
        if (c < '0' || c > '9') {
            return {};
        }
    }
    return digits;
}

std::array<uint8_t, GroupRecord::kSize> ToBytes(const GroupRecord& r) {
    std::array<uint8_t, GroupRecord::kSize> out{};
    Writer w(out.data());
    w.I32(r.id);
    w.Bytes(r.name, sizeof r.name);
    return out;
}

std::array<uint8_t, PersonRecord::kSize> ToBytes(const PersonRecord& r) {
    std::array<uint8_t, PersonRecord::kSize> out{};
    Writer w(out.data());
    w.I32(r.number);
    w.Bytes(r.name, sizeof r.name);
    w.Bytes(r.email, sizeof r.email);
    w.I32(r.group);
    w.Bytes(r.reserved, sizeof r.reserved);
    return out;
}

std::array<uint8_t, HistoryRecord::kSize> ToBytes(const HistoryRecord& r) {
    std::array<uint8_t, HistoryRecord::kSize> out{};
    Writer w(out.data());
    w.I32(r.number);
    w.Bytes(r.name, sizeof r.name);
    w.I32(r.type);
    PutTime(w, r.time);
    w.U8(r.recorded);
    w.Bytes(r.stem, sizeof r.stem);
    w.I32(r.rate);
    w.Bytes(r.reserved, sizeof r.reserved);
    return out;
}

GroupRecord GroupFromBytes(const uint8_t* bytes) {
    GroupRecord g;
    Reader r(bytes);
    g.id = r.I32();
    r.Bytes(g.name, sizeof g.name);
    return g;
}

PersonRecord PersonFromBytes(const uint8_t* bytes) {
    PersonRecord p;
    Reader r(bytes);
    p.number = r.I32();
    r.Bytes(p.name, sizeof p.name);
    r.Bytes(p.email, sizeof p.email);
    p.group = r.I32();
    r.Bytes(p.reserved, sizeof p.reserved);
    return p;
}

HistoryRecord HistoryFromBytes(const uint8_t* bytes) {
    HistoryRecord h;
    Reader r(bytes);
    h.number = r.I32();
    r.Bytes(h.name, sizeof h.name);
    h.type = r.I32();
    h.time = GetTime(r);
    h.recorded = r.U8();
    r.Bytes(h.stem, sizeof h.stem);
    h.rate = r.I32();
    r.Bytes(h.reserved, sizeof h.reserved);
    return h;
}

}  // namespace kestrona
