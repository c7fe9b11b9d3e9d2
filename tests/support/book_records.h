// Phone-book records for tests, from the few fields a test cares about.
#pragma once

#include <cstdint>

#include "store/phone_book.h"

namespace kestrona::test {

inline GroupRecord Group(int32_t id, const char* name) {
    GroupRecord g;
    g.id = id;
    g.SetName(name);
    return g;
}

inline PersonRecord Person(int32_t number, const char* name, int32_t group) {
    PersonRecord p;
    p.number = number;
    p.SetName(name);
    p.SetEmail("x@y.cn");
    p.group = group;
    return p;
}

}  // namespace kestrona::test
