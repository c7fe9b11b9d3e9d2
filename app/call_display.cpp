#include "app/call_display.h"

#include "res/resource_ids.h"
#include "res/strings.h"

namespace kestrona {

QString FormatCallTime(int64_t s) {
    return QString::asprintf("%.2d:%.2d:%.2d", static_cast<int>((s / 3600) % 24),
                             static_cast<int>((s / 60) % 60), static_cast<int>(s % 60));
}

DisplayTexts MakeDisplayTexts(const QString& localAddress, int state, int64_t secondsInCall,
                              int sampleRate, const QString& peerName, int32_t peerNumber,
                              const QTime& clock) {
    DisplayTexts t;
    t.localAddress = localAddress;
    t.status = ResString(res::kStrFirstState + state);
    if (state == 2 || state == 7) {
        t.time = FormatCallTime(secondsInCall);
        t.status += QString::asprintf("%dkHZ", sampleRate);
    } else {
        t.time = clock.toString(QStringLiteral("HH:mm:ss"));
    }
    if (peerNumber > 0) {
        t.peer = QStringLiteral("%1 %2").arg(peerName).arg(peerNumber);
    }
    return t;
}

void AddEncryptedMark(DisplayTexts& texts, const QString& sas) {
    const QString mark = ResString(res::kStrEncryptedMark) + QLatin1Char(' ') + sas;
    texts.peer = texts.peer.isEmpty() ? mark : texts.peer + QStringLiteral("  ") + mark;
}

void AddQualityMark(DisplayTexts& texts, CallQualityReport::Rating rating) {
    int id = 0;
    switch (rating) {
        case CallQualityReport::Rating::kGood:
            id = res::kStrQualityGood;
            break;
        case CallQualityReport::Rating::kFair:
            id = res::kStrQualityFair;
            break;
        case CallQualityReport::Rating::kPoor:
            id = res::kStrQualityPoor;
            break;
        case CallQualityReport::Rating::kUnknown:
            return;
    }
    const QString mark = ResString(id);
    texts.peer = texts.peer.isEmpty() ? mark : texts.peer + QStringLiteral("  ") + mark;
}

void AddMutedMark(DisplayTexts& texts, int state) {
    const QString mark = ResString(res::kStrMuted);
    if (state == 2 || state == 7) {
        texts.status = ResString(res::kStrFirstState + state) + mark;
    } else {
        texts.status += QStringLiteral("  ") + mark;
    }
}

}  // namespace kestrona
