#include "app/rpc_request.h"

#include <QCoreApplication>

#include "app/call_controller.h"
#include "app/call_logic.h"
#include "res/strings.h"

namespace kestrona {
namespace {

const char* const kUsage =
    "try dial NUMBER, callto NUMBER, answer, hangup, mute on|off, volume mic|speaker PERCENT, "
    "status, display, portmap, presence NUMBER..., quit";
// More would not fit one answer line comfortably.
constexpr qsizetype kMaxPresenceNumbers = 256;

RpcParse Error(const QString& text) {
    return RpcParse{std::nullopt, QStringLiteral("error ") + text};
}

RpcParse Ok(RpcVerb verb, int32_t number = 0) {
    return RpcParse{RpcRequest{verb, number, true, {}}, QString()};
}

// A telephone number: decimal digits only (no sign, no blanks), 1 to 2^31-1.
std::optional<int32_t> ParseNumber(const QString& text) {
    if (text.isEmpty() || text.size() > 10) {
        return std::nullopt;
    }
    int64_t value = 0;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) {
            return std::nullopt;
        }
        value = value * 10 + (c.unicode() - '0');
    }
    if (value < 1 || value > INT32_MAX) {
        return std::nullopt;
    }
    return static_cast<int32_t>(value);
}

RpcParse NumberRequest(RpcVerb verb, const QStringList& words) {
    const QString& name = words.front();
    if (words.size() < 2) {
        return Error(name + QStringLiteral(" needs a number"));
    }
    if (words.size() > 2) {
        return Error(name + QStringLiteral(" takes one number"));
    }
    const std::optional<int32_t> number = ParseNumber(words[1]);
    if (!number) {
        return Error(QStringLiteral("bad number \"%1\": 1 to 2147483647").arg(words[1].left(32)));
    }
    return Ok(verb, *number);
}

}  // namespace

RpcParse ParseRpcWords(const QStringList& words) {
    if (words.isEmpty()) {
        return Error(QStringLiteral("empty request; ") + QLatin1String(kUsage));
    }
    const QString& verb = words.front();
    if (verb == QLatin1String("dial")) {
        return NumberRequest(RpcVerb::kDial, words);
    }
    if (verb == QLatin1String("callto")) {
        return NumberRequest(RpcVerb::kCallTo, words);
    }
    if (verb == QLatin1String("mute")) {
        if (words.size() != 2 ||
            (words[1] != QLatin1String("on") && words[1] != QLatin1String("off"))) {
            return Error(QStringLiteral("mute takes on or off"));
        }
        return Ok(RpcVerb::kMute, words[1] == QLatin1String("on") ? 1 : 0);
    }
    if (verb == QLatin1String("volume")) {
        bool ok = false;
        const int percent = words.size() == 3 ? words[2].toInt(&ok) : -1;
        if (!ok || percent < 0 || percent > kMaxCallLevel ||
            (words[1] != QLatin1String("mic") && words[1] != QLatin1String("speaker"))) {
            return Error(QStringLiteral("volume takes mic or speaker and a percent, 0 to 200"));
        }
        return Ok(words[1] == QLatin1String("mic") ? RpcVerb::kMicLevel : RpcVerb::kSpeakerLevel,
                  percent);
    }
    if (verb == QLatin1String("presence")) {
        if (words.size() < 2 || words.size() - 1 > kMaxPresenceNumbers) {
            return Error(QStringLiteral("presence takes 1 to %1 numbers").arg(kMaxPresenceNumbers));
        }
        RpcParse parsed = Ok(RpcVerb::kPresence);
        for (const QString& word : words.mid(1)) {
            const std::optional<int32_t> number = ParseNumber(word);
            if (!number) {
                return Error(
                    QStringLiteral("bad number \"%1\": 1 to 2147483647").arg(word.left(32)));
            }
            parsed.request->numbers.push_back(*number);
        }
        return parsed;
    }
    static constexpr struct {
        const char* word;
        RpcVerb verb;
    } kPlain[] = {
        {"status", RpcVerb::kStatus}, {"display", RpcVerb::kDisplay},
        {"answer", RpcVerb::kAnswer}, {"hangup", RpcVerb::kHangUp},
        {"quit", RpcVerb::kQuit},     {"portmap", RpcVerb::kPortMap},
    };
    for (const auto& plain : kPlain) {
        if (verb == QLatin1String(plain.word)) {
            if (words.size() > 1) {
                return Error(verb + QStringLiteral(" takes no arguments"));
            }
            return Ok(plain.verb);
        }
    }
    return Error(QStringLiteral("unknown request; ") + QLatin1String(kUsage));
}

RpcParse ParseChannelRequest(const QStringList& args) {
    if (args.isEmpty()) {
        return Error(QStringLiteral("empty request"));
    }
    const QString& verb = args.front();
    if (verb == QLatin1String("rpc")) {
        return ParseRpcWords(args.mid(1));
    }
    RpcParse parsed;
    if (verb == QLatin1String("show") && args.size() == 1) {
        parsed = Ok(RpcVerb::kShow);
    } else if (verb == QLatin1String("callto")) {
        parsed = NumberRequest(RpcVerb::kCallTo, args);
    } else {
        return Error(QStringLiteral("unknown request"));
    }
    if (parsed.request) {
        parsed.request->fromRpc = false;
    }
    return parsed;
}

// During a call, a second line: its codec and, for a call in frames, what
// its listener meets.
QString RpcMediaLine(const CCallController& controller) {
    if (!controller.HasEngine())
        return {};
    const int32_t features = controller.Params().nFeatures;
    QString text =
        QStringLiteral("\ncodec=%1 frames=%2")
            .arg(QLatin1String((features & kFeatureOpus) != 0 ? "opus" : "g729"),
                 QLatin1String((features & kFeatureShortFrames) != 0 ? "short" : "blocks"));
    if ((features & kFeatureOpus) == 0)
        return text;
    static constexpr const char* kRatings[] = {"unknown", "good", "fair", "poor"};
    const CallQualityReport q = controller.Quality();
    return text + QStringLiteral(
                      " quality=%1 missing_permille=%2 playout_ms=%3 played=%4 concealed=%5 "
                      "recovered=%6 late=%7 dropped=%8")
                      .arg(QLatin1String(kRatings[static_cast<int>(q.rating)]))
                      .arg(q.missingPermille)
                      .arg(q.delayMs)
                      .arg(q.played)
                      .arg(q.concealed)
                      .arg(q.recovered)
                      .arg(q.late)
                      .arg(q.dropped);
}

QString RpcStatusText(const CCallController& controller) {
    return QStringLiteral("state=%1 peer=%2 seconds=%3 incoming=%4 auto=%5 own=%6 pid=%7 text=%8")
               .arg(controller.State())
               .arg(controller.PeerNumber())
               .arg(controller.CallSeconds())
               .arg(controller.Incoming() ? 1 : 0)
               .arg(controller.AutoAnswer() ? 1 : 0)
               .arg(controller.OwnNumber())
               .arg(QCoreApplication::applicationPid())
               .arg(ResString(StateStringId(controller.State()))) +
           RpcMediaLine(controller);
}

QString RpcDisplayText(const CCallController& controller) {
    const DisplayTexts texts = controller.Display();
    const PeerIdentity known = controller.PeerIdentityState();
    const char* identity = !controller.Encrypted()           ? "none"
                           : known == PeerIdentity::kChanged ? "changed"
                           : known == PeerIdentity::kSame    ? "same"
                                                             : "new";
    return QStringLiteral(
               "peer=%1\nstatus=%2\ntime=%3\nlocal=%4\nencrypted=%5\nsas=%6\nidentity=%7\n"
               "muted=%8")
        .arg(texts.peer, texts.status, texts.time, texts.localAddress)
        .arg(controller.Encrypted() ? 1 : 0)
        .arg(controller.Sas(), QLatin1String(identity))
        .arg(controller.Muted() ? 1 : 0);
}

QString RunRpcRequest(CCallController& controller, const RpcRequest& request) {
    using Result = CCallController::RequestResult;
    Result result = Result::kAccepted;
    switch (request.verb) {
        case RpcVerb::kShow:
            return QStringLiteral("error no window to show");
        case RpcVerb::kPortMap:
        case RpcVerb::kPresence:
            return QStringLiteral("error the application answers that");
        case RpcVerb::kStatus:
            return RpcStatusText(controller);
        case RpcVerb::kDisplay:
            return RpcDisplayText(controller);
        case RpcVerb::kDial:
            result = controller.RequestDial(request.number);
            break;
        case RpcVerb::kCallTo:
            result = controller.RequestCallTo(request.number);
            break;
        case RpcVerb::kAnswer:
            if (controller.RequestAnswer() != Result::kAccepted) {
                return QStringLiteral("error no call to answer");
            }
            break;
        case RpcVerb::kHangUp:
            if (controller.RequestHangUp() != Result::kAccepted) {
                return QStringLiteral("error no call to hang up");
            }
            break;
        case RpcVerb::kMute:
            if (controller.RequestMute(request.number != 0) != Result::kAccepted) {
                return QStringLiteral("error no call to mute");
            }
            break;
        case RpcVerb::kMicLevel:
        case RpcVerb::kSpeakerLevel:
            controller.SetLevel(request.verb == RpcVerb::kMicLevel
                                    ? CCallController::Level::kMicrophone
                                    : CCallController::Level::kLoudspeaker,
                                request.number);
            break;
        case RpcVerb::kQuit:
            controller.RequestQuit();
            break;
    }
    if (result == Result::kBusy) {
        return QStringLiteral("error the phone is busy (state %1)").arg(controller.State());
    }
    if (result == Result::kNoCall) {
        return QStringLiteral("error no call");
    }
    return QStringLiteral("ok");
}

}  // namespace kestrona
