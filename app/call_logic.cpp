#include "app/call_logic.h"

#include <limits>

#include "net/records.h"

namespace kestrona {

std::optional<KeyEnables> KeysForState(int state) {
    switch (state) {
        case kStateReady:
            return KeyEnables{true, false, true, false};
        case kStateDialling:
            return KeyEnables{false, true, false, false};
        case kStateTalking:
        case kStateAutoAnswer:
            return KeyEnables{false, true, false, true};
        case kStateRinging:
            return KeyEnables{true, true, false, false};
        default:
            return std::nullopt;
    }
}

std::optional<RingChoice> RingForState(int state) {
    switch (state) {
        case kStateDialling:
            return RingChoice{kRingOut, 4000};
        case kStateRinging:
            return RingChoice{kRingIn, 2000};
        case kStateBusy:
            return RingChoice{kRingBusy, 1000};
        default:
            return std::nullopt;
    }
}

int32_t AgreedSampleRate(int32_t own, int32_t proposed) {
    if (!IsCallSampleRate(proposed)) {
        int32_t below = 8000;
        for (int32_t rate : {12000, 16000, 22050, 24000}) {
            if (rate <= proposed) {
                below = rate;
            }
        }
        proposed = below;
    }
    return own > proposed ? proposed : own;
}

bool AppendDigit(std::string& digits, int command) {
    if (digits.size() > kMaxDigits - 1) {
        return false;
    }
    digits.push_back(static_cast<char>('0' + (command - 1006) % 10));
    return true;
}

int32_t DigitsToNumber(const std::string& digits) {
    if (digits.empty()) {
        return -1;
    }
    int64_t v = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') {
            break;
        }
        v = v * 10 + (c - '0');
        if (v > std::numeric_limits<int32_t>::max()) {
            return std::numeric_limits<int32_t>::max();
        }
    }
    return static_cast<int32_t>(v);
}

}  // namespace kestrona
