// The phone as a native Wayland client: in a sway session of the test's own
// at output scales 1, 1.25, 1.5 and 2, the logged-in phone's skinned window
// appears, its corners show the desktop through them (the skin is drawn
// translucent, not only cut for input), the skin covers the rest, the
// window's shape is set as its input region, a key's tip comes up beside
// the pointer resting on it, and a press on the skin asks the compositor to
// move the window. Each screenshot is kept in the build
// folder (screenshots/wayland/) to be looked at.
#include <gtest/gtest.h>

#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>

#include "e2e/call_fixture.h"
#include "support/sway_fixture.h"

using namespace kestrona;
using namespace kestrona::e2e;

namespace {

constexpr unsigned kDesktop = 0xFF00FF;  // a colour no skin has
const QPoint kHandset(30, 117);          // on the skin, away from every key
const QPoint kCallKey(117, 87);          // on the first key
constexpr unsigned kTipBack = 0xFFFFDC;  // the style's tool-tip background

// The window of a process in sway's tree, in logical coordinates.
std::optional<QRect> WindowOf(const test::SwaySession& sway, long pid) {
    const QJsonDocument tree =
        QJsonDocument::fromJson(QByteArray::fromStdString(sway.Message({"-t", "get_tree"})));
    std::optional<QRect> found;
    std::function<void(const QJsonObject&)> walk = [&](const QJsonObject& node) {
        if (node.value(QStringLiteral("pid")).toInteger() == pid &&
            node.value(QStringLiteral("visible")).toBool()) {
            const QJsonObject r = node.value(QStringLiteral("rect")).toObject();
            found =
                QRect(r.value(QStringLiteral("x")).toInt(), r.value(QStringLiteral("y")).toInt(),
                      r.value(QStringLiteral("width")).toInt(),
                      r.value(QStringLiteral("height")).toInt());
        }
        for (const char* key : {"nodes", "floating_nodes"}) {
            for (const QJsonValue& child : node.value(QLatin1String(key)).toArray()) {
                walk(child.toObject());
            }
        }
    };
    walk(tree.object());
    return found;
}

// Points of the skin well inside or well outside its outline (the outline
// leaves out the exactly white pixels), none at the border, where a scaled
// picture blends the two.
struct Probe {
    QPoint at;
    bool outside;
};
std::vector<Probe> Probes(const QImage& skin) {
    auto white = [&](int x, int y) { return (skin.pixel(x, y) & 0xFFFFFF) == 0xFFFFFF; };
    std::vector<Probe> probes;
    for (int y = 2; y < skin.height() - 2; y += 3) {
        for (int x = 2; x < skin.width() - 2; x += 3) {
            const bool w = white(x, y);
            bool uniform = true;
            for (int dy = -2; dy <= 2 && uniform; ++dy) {
                for (int dx = -2; dx <= 2 && uniform; ++dx) {
                    uniform = white(x + dx, y + dy) == w;
                }
            }
            if (uniform) {
                probes.push_back({{x, y}, w});
            }
        }
    }
    return probes;
}

class WaylandTest : public CallFixture {};

TEST_F(WaylandTest, TheSkinIsTranslucentOutsideItsOutlineAtEveryScale) {
    if (const std::string missing = test::SwaySession::Missing(); !missing.empty()) {
        GTEST_SKIP() << missing;
    }
    const QImage skin =
        QImage(QString::fromStdString((SourceDir() / "res" / "art" / "bmp131.png").string()))
            .convertToFormat(QImage::Format_RGB32);
    ASSERT_FALSE(skin.isNull());
    const std::vector<Probe> probes = Probes(skin);
    ASSERT_GT(probes.size(), 1000u);
    const auto shots = BinaryDir() / "screenshots" / "wayland";
    std::filesystem::create_directories(shots);

    int round = 0;
    for (const double scale : {1.0, 1.25, 1.5, 2.0}) {
        SCOPED_TRACE("output scale " + std::to_string(scale));
        test::SwaySession sway;
        const int width = static_cast<int>(std::lround(640 * scale));
        const int height = static_cast<int>(std::lround(480 * scale));
        if (!sway.Start(width, height, scale, kDesktop)) {
            if (round == 0) {
                GTEST_SKIP() << "sway cannot start here: " << sway.Error();
            }
            FAIL() << sway.Error();
        }
        Phone phone(dir.path() / ("wayland" + std::to_string(round)), server->Port(), speech);
        phone.SetEnvironment(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland"));
        phone.SetEnvironment(QStringLiteral("WAYLAND_DISPLAY"),
                             QString::fromStdString(sway.Display()));
        phone.SetEnvironment(QStringLiteral("WAYLAND_DEBUG"), QStringLiteral("1"));
        // Under AddressSanitizer the phone is checked for memory errors but
        // not for leaks here: Qt's Wayland plugin leaves libwayland-client's
        // objects behind at exit, partly from a module already unloaded,
        // which no suppression can name.
        if (const char* asan = std::getenv("ASAN_OPTIONS")) {
            phone.SetEnvironment(QStringLiteral("ASAN_OPTIONS"),
                                 QString::fromLocal8Bit(asan) + QStringLiteral(":detect_leaks=0"));
        }
        ASSERT_TRUE(phone.Register("wl" + std::to_string(round))) << phone.Output() << Logs();
        const long pid = phone.Status()->pid;

        // Up once the window is mapped at the skin's size and drawn.
        std::optional<QRect> window;
        QImage shot;
        const auto file = shots / ("phone_scale_" + std::to_string(round + 1) + ".png");
        const bool drawn = WaitUntil(
            [&] {
                window = WindowOf(sway, pid);
                if (!window || window->size() != skin.size() || !sway.Screenshot(file)) {
                    return false;
                }
                shot = QImage(QString::fromStdString(file.string()))
                           .convertToFormat(QImage::Format_RGB32);
                const QPoint centre = window->center() * scale;
                return shot.valid(centre) && (shot.pixel(centre) & 0xFFFFFF) != kDesktop;
            },
            20000, 200);
        ASSERT_TRUE(drawn) << "no window of the phone drawn\n"
                           << sway.Message({"-t", "get_tree"}) << phone.Output();
        EXPECT_EQ(shot.size(), QSize(width, height));

        int wrongOutside = 0;
        int wrongInside = 0;
        for (const Probe& p : probes) {
            const QPointF logical = window->topLeft() + p.at + QPointF(0.5, 0.5);
            const QPoint pixel(static_cast<int>(logical.x() * scale),
                               static_cast<int>(logical.y() * scale));
            const bool desktop = (shot.pixel(pixel) & 0xFFFFFF) == kDesktop;
            wrongOutside += p.outside && !desktop ? 1 : 0;
            wrongInside += !p.outside && desktop ? 1 : 0;
        }
        EXPECT_EQ(wrongOutside, 0) << "skin drawn outside its outline: see " << file;
        EXPECT_EQ(wrongInside, 0) << "desktop showing through the skin: see " << file;

#ifdef KESTRONA_VIRTUAL_POINTER
        // A pointer resting on a key brings up its tip just below and right
        // of the pointer, a popup of the phone placed by the phone's own
        // coordinates.
        {
            const QPoint pointer = window->topLeft() + kCallKey;
            auto hover = sway.Hover(KESTRONA_VIRTUAL_POINTER, pointer.x(), pointer.y(), 5000);
            ASSERT_TRUE(hover);
            const QRect near((pointer + QPoint(5, 5)) * scale, QSize(120, 40) * scale);
            int tipPixels = 0;
            WaitUntil(
                [&] {
                    if (!sway.Screenshot(file)) {
                        return false;
                    }
                    const QImage s = QImage(QString::fromStdString(file.string()))
                                         .convertToFormat(QImage::Format_RGB32);
                    tipPixels = 0;
                    for (int y = near.top(); y <= near.bottom(); ++y) {
                        for (int x = near.left(); x <= near.right(); ++x) {
                            tipPixels += s.valid(x, y) && (s.pixel(x, y) & 0xFFFFFF) == kTipBack;
                        }
                    }
                    return tipPixels > near.width() * near.height() / 8;
                },
                6000, 250);
            EXPECT_GT(tipPixels, near.width() * near.height() / 8)
                << "no tip beside the pointer: see " << file;
            hover->Stop();
        }
        // A press on the skin (the handset, no key there) asks the
        // compositor to move the window.
        ASSERT_TRUE(sway.Press(KESTRONA_VIRTUAL_POINTER, window->x() + kHandset.x(),
                               window->y() + kHandset.y()))
            << sway.Log();
        EXPECT_TRUE(WaitUntil(
            [&] { return phone.Output().find(".move(wl_seat@") != std::string::npos; }, 5000))
            << "no move asked for after a press on the skin";
#endif
        phone.Quit();
        // The mask reached the compositor as the input region.
        const std::string log = phone.Output();
        EXPECT_NE(log.find("set_input_region(wl_region@"), std::string::npos);
        ++round;
    }
}

}  // namespace
