#include "platform/gbk.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kestrona {
namespace {

// One conversion descriptor per call: iconv state is not shareable between
// threads and these texts are short.
class Iconv {
  public:
    Iconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~Iconv() {
        if (ok()) {
            iconv_close(cd_);
        }
    }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;
    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
    iconv_t get() const { return cd_; }

  private:
    iconv_t cd_;
};

// Length of the UTF-8 sequence starting at s (1 for a byte that cannot start one).
std::size_t Utf8SequenceLength(std::string_view s) {
    const auto b = static_cast<unsigned char>(s[0]);
    std::size_t n = 1;
    if (b >= 0xC2 && b <= 0xDF) {
        n = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        n = 3;
    } else if (b >= 0xF0 && b <= 0xF4) {
        n = 4;
    }
    std::size_t have = 1;
    while (have < n && have < s.size() && (static_cast<unsigned char>(s[have]) & 0xC0) == 0x80) {
        ++have;
    }
    return have;
}

bool IsGbkLead(unsigned char b) {
    return b >= 0x81 && b <= 0xFE;
}

// Runs iconv over in, calling onBad(rest) at every byte it cannot convert;
// onBad appends a replacement and returns how many input bytes to skip.
template <typename OnBad>
std::string Convert(const char* to, const char* from, std::string_view in, OnBad onBad) {
    std::string out;
    Iconv cd(to, from);
    if (!cd.ok()) {
        return out;
    }
    out.reserve(in.size() * 2 + 8);
    char buf[256];
    while (!in.empty()) {
        char* src = const_cast<char*>(in.data());
        std::size_t srcLeft = in.size();
        char* dst = buf;
        std::size_t dstLeft = sizeof buf;
        const std::size_t r = iconv(cd.get(), &src, &srcLeft, &dst, &dstLeft);
        const int err = errno;
        out.append(buf, static_cast<std::size_t>(dst - buf));
        in.remove_prefix(in.size() - srcLeft);
        if (r != static_cast<std::size_t>(-1)) {
            break;
        }
        if (err == E2BIG) {
            continue;
        }
        // EILSEQ or EINVAL (a cut sequence at the end): replace and go on.
        const std::size_t skip = std::max<std::size_t>(1, std::min(onBad(in, out), in.size()));
        in.remove_prefix(skip);
        iconv(cd.get(), nullptr, nullptr, nullptr, nullptr);
    }
    return out;
}

}  // namespace

std::string Utf8ToGbk(std::string_view utf8) {
    return Convert("GBK", "UTF-8", utf8, [](std::string_view rest, std::string& out) {
        out.push_back('?');
        return Utf8SequenceLength(rest);
    });
}

std::string GbkToUtf8(std::string_view gbk) {
    gbk = gbk.substr(0, std::min(gbk.size(), gbk.find('\0')));
    return Convert("UTF-8", "GBK", gbk, [](std::string_view rest, std::string& out) {
        out.append("\xEF\xBF\xBD");
        // A lead byte whose pair is unmapped loses both bytes; a lead byte
        // followed by an ASCII byte loses only itself, so the ASCII survives.
        if (rest.size() >= 2 && IsGbkLead(static_cast<unsigned char>(rest[0])) &&
            static_cast<unsigned char>(rest[1]) >= 0x40 && rest[1] != 0x7F) {
            return std::size_t{2};
        }
        return std::size_t{1};
    });
}

std::size_t GbkFitLength(std::string_view gbk, std::size_t maxBytes) {
    std::size_t pos = 0;
    while (pos < gbk.size()) {
        const std::size_t n = IsGbkLead(static_cast<unsigned char>(gbk[pos])) ? 2 : 1;
        if (pos + n > maxBytes || pos + n > gbk.size()) {
            break;
        }
        pos += n;
    }
    return pos;
}

void PutGbkField(char* field, std::size_t fieldSize, std::string_view utf8) {
    PutGbkField(field, fieldSize, utf8, fieldSize == 0 ? 0 : fieldSize - 1);
}

void PutGbkField(char* field, std::size_t fieldSize, std::string_view utf8, std::size_t maxBytes) {
    if (fieldSize == 0) {
        return;
    }
    std::memset(field, 0, fieldSize);
    const std::string gbk = Utf8ToGbk(utf8);
    const std::size_t n = GbkFitLength(gbk, std::min(maxBytes, fieldSize - 1));
    std::memcpy(field, gbk.data(), n);
}

std::string GetGbkField(const char* field, std::size_t fieldSize) {
    const auto* end = static_cast<const char*>(std::memchr(field, 0, fieldSize));
    return GbkToUtf8(
        std::string_view(field, end ? static_cast<std::size_t>(end - field) : fieldSize));
}

}  // namespace kestrona
