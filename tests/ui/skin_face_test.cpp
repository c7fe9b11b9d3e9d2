#include <gtest/gtest.h>

#include <QMouseEvent>
#include <QTest>
#include <QTime>

#include "res/resource_ids.h"
#include "ui/fly_btn.h"
#include "ui/skin_face.h"
#include "ui/skin_images.h"

namespace {

using kestrona::CSkinFace;
using kestrona::MakeDisplayTexts;
using kestrona::SkinRegion;

TEST(SkinRegion, ExactWhitePixelsAreHolesAndNearWhiteStays) {
    QImage skin(10, 8, QImage::Format_RGB32);
    skin.fill(QColor(40, 50, 60));
    skin.setPixelColor(0, 0, Qt::white);              // edge
    skin.setPixelColor(5, 4, Qt::white);              // interior hole
    skin.setPixelColor(6, 4, QColor(255, 255, 254));  // near white
    skin.setPixelColor(7, 4, QColor(254, 255, 255));
    const QRegion r = SkinRegion(skin);
    EXPECT_FALSE(r.contains(QPoint(0, 0)));
    EXPECT_FALSE(r.contains(QPoint(5, 4)));
    EXPECT_TRUE(r.contains(QPoint(4, 4)));
    EXPECT_TRUE(r.contains(QPoint(6, 4)));
    EXPECT_TRUE(r.contains(QPoint(7, 4)));
    EXPECT_TRUE(r.contains(QPoint(9, 7)));
    EXPECT_FALSE(r.contains(QPoint(10, 7)));  // nothing outside the bitmap
}

TEST(SkinRegion, ShippedSkinIsCutToTheTelephone) {
    CSkinFace face;
    ASSERT_EQ(face.Skin().size(), QSize(348, 235));
    const QRegion& r = face.Region();
    EXPECT_FALSE(r.contains(QPoint(0, 0)));
    EXPECT_FALSE(r.contains(QPoint(347, 234)));
    EXPECT_TRUE(r.contains(QPoint(200, 45)));  // the display
    for (const auto& p : kestrona::kKeyPlaces) {
        EXPECT_TRUE(r.contains(QPoint(p.x + 14, p.y + 12)));
    }
}

TEST(ShippedArtwork, KeyFacesListIconsAndIconsFollowTheirRules) {
    for (int id = 180; id <= 199; ++id) {
        const QImage strip(kestrona::res::BitmapPath(id));
        ASSERT_EQ(strip.size(), QSize(84, 24)) << id;
        const auto faces = kestrona::ImageList::FromFile(kestrona::res::BitmapPath(id),
                                                         QSize(28, 24), QColor(255, 0, 255));
        ASSERT_EQ(faces.Count(), 3) << id;
        EXPECT_EQ(faces.Image(0).devicePixelRatio(), 2.0);            // the sharp set was found
        EXPECT_EQ(faces.Image(1).pixelColor(0, 0).alpha(), 0) << id;  // a cut-away corner
        EXPECT_EQ(faces.Image(2).pixelColor(28, 24).alpha(), 255) << id;
    }
    const QImage list(kestrona::res::BitmapPath(150));
    EXPECT_EQ(list.size(), QSize(64, 16));
    EXPECT_EQ(list.pixelColor(0, 0), QColor(Qt::white));
    EXPECT_EQ(QImage(kestrona::res::IconPath(128)).size(), QSize(32, 32));
    EXPECT_EQ(QImage(kestrona::res::IconPath(148)).size(), QSize(32, 32));
}

TEST(DisplayTexts, CallTimeWrapsAtADayAndCarriesTheRate) {
    EXPECT_EQ(kestrona::FormatCallTime(25 * 3600), "01:00:00");
    EXPECT_EQ(kestrona::FormatCallTime(3600 + 62), "01:01:02");
    const auto talking =
        MakeDisplayTexts("7 10.0.0.1:5000", 2, 59, 8000, "Li", 12345, QTime(9, 5, 7));
    EXPECT_EQ(talking.status, QStringLiteral("通话中...8000kHZ"));
    EXPECT_EQ(talking.time, "00:00:59");
    EXPECT_EQ(talking.peer, "Li 12345");
    const auto answering = MakeDisplayTexts("", 7, 25 * 3600 + 1, 22050, "", 5, QTime(9, 5, 7));
    EXPECT_EQ(answering.status, QStringLiteral("自动应答22050kHZ"));
    EXPECT_EQ(answering.time, "01:00:01");
    EXPECT_EQ(answering.peer, " 5");
}

TEST(DisplayTexts, OtherStatesShowTheClockAndNoPeerWithoutNumber) {
    const auto ready = MakeDisplayTexts("a", 0, 100, 8000, "Li", 0, QTime(9, 5, 7));
    EXPECT_EQ(ready.status, QStringLiteral("就绪..."));
    EXPECT_EQ(ready.time, "09:05:07");
    EXPECT_TRUE(ready.peer.isEmpty());
    EXPECT_TRUE(MakeDisplayTexts("a", 6, 0, 0, "Li", -1, QTime(23, 0, 0)).peer.isEmpty());
    EXPECT_EQ(MakeDisplayTexts("a", 8, 0, 0, "", 3, QTime()).status,
              QStringLiteral("对方软件版本不兼容"));
}

TEST(SkinFace, KeysSitAtTheirPlacesAndSendTheirCommands) {
    CSkinFace face;
    std::vector<int> got;
    face.SetCommandHandler([&](int c) { got.push_back(c); });
    kestrona::SetCommandTarget(&face);
    face.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&face));
    for (int i = 0; i < 20; ++i) {
        CFlyBtn* key = face.Key(1001 + i);
        ASSERT_NE(key, nullptr);
        EXPECT_EQ(key->geometry(),
                  QRect(kestrona::kKeyPlaces[i].x, kestrona::kKeyPlaces[i].y, 28, 24));
        EXPECT_EQ(key->CommandId(), 1001u + i);
        QTest::mouseClick(key, Qt::LeftButton, {}, QPoint(10, 10));
    }
    ASSERT_EQ(got.size(), 20u);
    EXPECT_EQ(got.front(), 1001);
    EXPECT_EQ(got.back(), 1020);
    EXPECT_EQ(face.Key(1001)->Tip()->Text(), QStringLiteral("呼叫 / 接听"));
    EXPECT_EQ(face.Key(1019)->Tip()->Text(), QStringLiteral("启动自动应答"));
    kestrona::SetCommandTarget(nullptr);
}

TEST(SkinFace, KeyStatesGoThroughTheKeys) {
    CSkinFace face;
    face.EnableKey(1002, false);
    EXPECT_FALSE(face.IsKeyEnabled(1002));
    face.FlashKey(1006, true);
    EXPECT_TRUE(face.IsKeyFlashing(1006));
    face.EnableKey(1006, false);
    EXPECT_FALSE(face.IsKeyFlashing(1006));
    face.CheckKey(1019, true);
    EXPECT_TRUE(face.IsKeyChecked(1019));
    EXPECT_FALSE(face.IsKeyEnabled(999));
}

int CountColour(const QImage& img, QRect area, QColor c) {
    int n = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x) n += img.pixelColor(x, y) == c;
    return n;
}

TEST(SkinFace, DisplayDrawsShadowedTextsAndPeerLineOnlyWithAPeer) {
    CSkinFace face;
    face.SetDisplay(MakeDisplayTexts("", 0, 0, 0, "", -1, QTime(12, 0, 0)));
    QImage img = face.Render();
    const QColor dark(84, 61, 18), light(186, 149, 87);
    const QRect peerLine(110, 38, 120, 13), statusLine(110, 53, 60, 13), clock(240, 53, 55, 13);
    EXPECT_EQ(CountColour(img, peerLine, dark), 0);
    EXPECT_GT(CountColour(img, statusLine, dark), 5);
    EXPECT_GT(CountColour(img, clock, dark), 5);
    EXPECT_GT(CountColour(img, clock, light), 0);

    face.SetDisplay(MakeDisplayTexts("", 0, 0, 0, "Wang", 2345, QTime(12, 0, 0)));
    img = face.Render();
    EXPECT_GT(CountColour(img, peerLine, dark), 5);
    EXPECT_GT(CountColour(img, peerLine, light), 0);
}

TEST(SkinFace, RightButtonOpensWindowMenuAndDoubleClickHides) {
    CSkinFace face;
    QPoint menuAt;
    int hides = 0;
    face.onWindowMenu = [&](QPoint p) { menuAt = p; };
    face.onHide = [&] { ++hides; };
    face.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&face));
    QTest::mousePress(&face, Qt::RightButton, {}, QPoint(20, 100));
    EXPECT_EQ(menuAt, face.mapToGlobal(QPoint(20, 100)));
    QTest::mouseDClick(&face, Qt::LeftButton, {}, QPoint(320, 30));
    EXPECT_EQ(hides, 1);
    // The keys have no right button of their own, and no menu either.
    menuAt = QPoint();
    QTest::mousePress(face.Key(1003), Qt::RightButton, {}, QPoint(5, 5));
    EXPECT_TRUE(menuAt.isNull());
}

TEST(SkinFace, HidingThePhoneEndsAKeysTracking) {
    CSkinFace face;
    face.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&face));
    CFlyBtn* key = face.Key(1007);
    key->OnMouseMove(QPoint(3, 3));
    ASSERT_TRUE(key->IsTracking());
    face.hide();
    EXPECT_FALSE(key->IsTracking());
    EXPECT_NE(QWidget::mouseGrabber(), key);
    EXPECT_FALSE(key->IsTimerActive(CFlyBtn::kTimerTipDelay));
}

TEST(SkinFace, HighDensityScreensKeepTheLayout) {
    CSkinFace face;
    face.SetDisplay(MakeDisplayTexts("", 0, 0, 0, "", -1, QTime(12, 0, 0)));
    QImage twice(face.size() * 2, QImage::Format_ARGB32);
    twice.setDevicePixelRatio(2.0);
    twice.fill(Qt::transparent);
    face.render(&twice);
    const QImage once = face.Render();
    // The same skin pixel at the same logical place.
    for (const QPoint p : {QPoint(200, 30), QPoint(40, 120), QPoint(300, 220)}) {
        const QColor a = once.pixelColor(p), b = twice.pixelColor(p * 2 + QPoint(1, 1));
        EXPECT_NEAR(a.red(), b.red(), 24) << p.x() << "," << p.y();
        EXPECT_NEAR(a.blue(), b.blue(), 24);
    }
    EXPECT_EQ(face.Key(1020)->geometry().topLeft(), QPoint(265, 175));
}

TEST(SkinFace, DraggingTheSkinMovesTheWindow) {
    // Where the window system can't move it (as here, off screen), the face
    // follows the pointer itself.
    CSkinFace face;
    face.move(100, 100);
    face.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&face));
    const QPoint start = face.frameGeometry().topLeft();
    auto send = [&](QEvent::Type type, QPoint local, Qt::MouseButtons buttons) {
        QMouseEvent e(type, QPointF(local), QPointF(face.mapToGlobal(local)),
                      type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton, buttons, {});
        QCoreApplication::sendEvent(&face, &e);
    };
    send(QEvent::MouseButtonPress, QPoint(20, 100), Qt::LeftButton);
    send(QEvent::MouseMove, QPoint(50, 110), Qt::LeftButton);
    send(QEvent::MouseButtonRelease, QPoint(50, 110), Qt::NoButton);
    EXPECT_EQ(face.frameGeometry().topLeft(), start + QPoint(30, 10));
}

TEST(SkinFace, WindowIsCutToTheSkin) {
    CSkinFace face;
    face.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&face));
    EXPECT_EQ(face.mask(), face.Region());
}

}  // namespace
