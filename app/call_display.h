// The four texts of the phone's display for a moment of a call.
#pragma once

#include <QString>
#include <QTime>
#include <cstdint>

#include "app/call_services.h"
#include "app/call_view.h"

namespace kestrona {

// "%.2d:%.2d:%.2d" of hours modulo 24, minutes and seconds.
QString FormatCallTime(int64_t seconds);

// state is 0..8; while talking (2) or answering automatically (7) the time is
// the call time and the rate follows the status ("通话中...8000kHZ"),
// otherwise the time is the clock. The peer line is empty when there is no
// peer number (0 or less).
DisplayTexts MakeDisplayTexts(const QString& localAddress, int state, int64_t secondsInCall,
                              int sampleRate, const QString& peerName, int32_t peerNumber,
                              const QTime& clock);

// An encrypted call carries its mark and its four characters beside the
// other party for the whole call.
void AddEncryptedMark(DisplayTexts& texts, const QString& sas);
// A call in frames carries the mark of how it sounds here on the same line,
// behind the encrypted mark; nothing until the first reading.
void AddQualityMark(DisplayTexts& texts, CallQualityReport::Rating rating);
// The mark of a muted call on the state line: in place of the rate while
// the call talks (the line has room for one of them beside the time),
// else behind the state.
void AddMutedMark(DisplayTexts& texts, int state);

}  // namespace kestrona
