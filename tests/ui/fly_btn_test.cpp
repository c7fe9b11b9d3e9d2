#include <gtest/gtest.h>

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QTest>
#include <QToolTip>

#include "ui/fly_btn.h"
#include "ui/tip_wnd.h"

namespace {

// Counts the commands that reach the main window.
class Target : public QWidget {
  public:
    std::vector<unsigned> commands;
    bool event(QEvent* e) override {
        if (e->type() == kestrona::CommandEvent::EventType()) {
            commands.push_back(static_cast<kestrona::CommandEvent*>(e)->Id());
            return true;
        }
        return QWidget::event(e);
    }
};

// Three solid cells: red normal, green highlighted, blue pressed, with a
// magenta corner that must come out transparent.
kestrona::ImageList Faces() {
    QImage strip(84, 24, QImage::Format_RGB32);
    strip.fill(Qt::red);
    for (int y = 0; y < 24; ++y)
        for (int x = 0; x < 28; ++x) {
            strip.setPixelColor(28 + x, y, Qt::green);
            strip.setPixelColor(56 + x, y, Qt::blue);
        }
    strip.setPixelColor(0, 0, QColor(255, 0, 255));
    return kestrona::ImageList::FromStrip(strip, QSize(28, 24), QColor(255, 0, 255));
}

class FlyBtnTest : public ::testing::Test {
  protected:
    void SetUp() override {
        kestrona::SetCommandTarget(&target);
        phone.resize(200, 100);
        key = new CFlyBtn;
        ASSERT_TRUE(key->Create("Number 1", QRect(10, 10, 28, 24), &phone, Faces(), false, 1007));
        phone.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&phone));
    }
    void TearDown() override { kestrona::SetCommandTarget(nullptr); }

    QColor Centre() const { return key->RenderFace().pixelColor(14, 12); }

    Target target;
    QWidget phone;
    CFlyBtn* key = nullptr;
};

TEST_F(FlyBtnTest, ImageListCutsCellsAndMakesKeyColourTransparent) {
    const auto faces = Faces();
    ASSERT_EQ(faces.Count(), 3);
    EXPECT_EQ(faces.Image(0).pixelColor(0, 0).alpha(), 0);
    EXPECT_EQ(faces.Image(0).pixelColor(1, 0), QColor(Qt::red));
    EXPECT_EQ(faces.Image(2).pixelColor(5, 5), QColor(Qt::blue));
}

TEST_F(FlyBtnTest, PointerOverKeyHighlightsAndShowsTipAfterDelayForThreeSeconds) {
    key->OnMouseMove(QPoint(3, 3));
    EXPECT_TRUE(key->IsTracking());
    EXPECT_EQ(key->CurrentImage(), 1);
    EXPECT_EQ(Centre(), QColor(Qt::green));
    EXPECT_TRUE(key->IsTimerActive(CFlyBtn::kTimerTipDelay));
    EXPECT_EQ(QWidget::mouseGrabber(), key);

    // Moving within the key neither restarts nor stops the delay.
    key->OnMouseMove(QPoint(20, 20));
    EXPECT_TRUE(key->IsTimerActive(CFlyBtn::kTimerTipDelay));
    EXPECT_FALSE(key->Tip()->isVisible());

    key->OnTimer(CFlyBtn::kTimerTipDelay);
    EXPECT_FALSE(key->IsTimerActive(CFlyBtn::kTimerTipDelay));
    EXPECT_TRUE(key->Tip()->isVisible());
    EXPECT_TRUE(key->IsTimerActive(CFlyBtn::kTimerTipTime));

    key->OnTimer(CFlyBtn::kTimerTipTime);
    EXPECT_FALSE(key->Tip()->isVisible());
    EXPECT_FALSE(key->IsTimerActive(CFlyBtn::kTimerTipTime));
}

// The pointer resting on a key, no button held, as the window system
// delivers it.
TEST_F(FlyBtnTest, PlainPointerMoveOverTheKeyHighlightsIt) {
    QTest::mouseMove(&phone, QPoint(150, 80));
    QTest::mouseMove(&phone, QPoint(15, 15));
    EXPECT_TRUE(QTest::qWaitFor([&] { return key->IsTracking(); }, 2000));
    EXPECT_EQ(key->CurrentImage(), 1);
    EXPECT_TRUE(key->IsTimerActive(CFlyBtn::kTimerTipDelay));
}

TEST_F(FlyBtnTest, TipAppearsByItselfWithRealTimers) {
    key->OnMouseMove(QPoint(3, 3));
    EXPECT_TRUE(QTest::qWaitFor([&] { return key->Tip()->isVisible(); }, 5000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !key->Tip()->isVisible(); }, 10000));
}

TEST_F(FlyBtnTest, LeavingTheKeyReleasesCaptureAndHidesTip) {
    key->OnMouseMove(QPoint(3, 3));
    key->OnTimer(CFlyBtn::kTimerTipDelay);
    key->OnMouseMove(QPoint(40, 3));
    EXPECT_FALSE(key->IsTracking());
    EXPECT_EQ(key->CurrentImage(), 0);
    EXPECT_FALSE(key->Tip()->isVisible());
    EXPECT_FALSE(key->IsTimerActive(CFlyBtn::kTimerTipDelay));
    EXPECT_NE(QWidget::mouseGrabber(), key);
}

TEST_F(FlyBtnTest, ClickSendsCommandToMainWindowNotParent) {
    key->OnMouseMove(QPoint(3, 3));
    key->OnLButtonDown(QPoint(3, 3));
    EXPECT_EQ(key->CurrentImage(), 2);
    EXPECT_TRUE(key->IsPressed());
    EXPECT_EQ(Centre(), QColor(Qt::blue));
    key->OnLButtonUp(QPoint(3, 3));
    ASSERT_EQ(target.commands.size(), 1u);
    EXPECT_EQ(target.commands[0], 1007u);
    EXPECT_EQ(key->CurrentImage(), 0);
    EXPECT_FALSE(key->IsTracking());
}

TEST_F(FlyBtnTest, TwoQuickClicksGiveTwoCommands) {
    // What the window system sends for a double click: the second press
    // arrives as a double-click event.
    const QPointF at(5, 5);
    auto send = [&](QEvent::Type type) {
        QMouseEvent e(type, at, key->mapToGlobal(at), Qt::LeftButton,
                      type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton, {});
        QCoreApplication::sendEvent(key, &e);
    };
    send(QEvent::MouseButtonPress);
    send(QEvent::MouseButtonRelease);
    send(QEvent::MouseButtonDblClick);
    send(QEvent::MouseButtonRelease);
    EXPECT_EQ(target.commands, (std::vector<unsigned>{1007u, 1007u}));
}

TEST_F(FlyBtnTest, PressMoveOffAndReleaseSendsNothing) {
    key->OnMouseMove(QPoint(3, 3));
    key->OnLButtonDown(QPoint(3, 3));
    key->OnMouseMove(QPoint(60, 60));
    key->OnLButtonUp(QPoint(60, 60));
    EXPECT_TRUE(target.commands.empty());

    QTest::mousePress(key, Qt::LeftButton, {}, QPoint(5, 5));
    QTest::mouseMove(key, QPoint(80, 50));
    QTest::mouseRelease(key, Qt::LeftButton, {}, QPoint(80, 50));
    EXPECT_TRUE(target.commands.empty());
}

TEST_F(FlyBtnTest, DisabledKeyIgnoresMouseAndDrawsBlended) {
    key->EnableWindow(false);
    EXPECT_FALSE(key->IsKeyEnabled());
    EXPECT_TRUE(key->isEnabled());  // the window system still sees it enabled
    key->OnMouseMove(QPoint(3, 3));
    key->OnLButtonDown(QPoint(3, 3));
    key->OnLButtonUp(QPoint(3, 3));
    EXPECT_FALSE(key->IsTracking());
    EXPECT_TRUE(target.commands.empty());
    const QColor c = Centre();
    EXPECT_NE(c, QColor(Qt::red));
    EXPECT_GT(c.red(), 150);  // mostly the normal image, tinted
    const QColor hl = key->palette().color(QPalette::Highlight);
    const int expectBlue = qRound(0.75 * 0 + 0.25 * hl.blue());
    EXPECT_NEAR(c.blue(), expectBlue, 2);
}

TEST_F(FlyBtnTest, CheckedKeyShowsPressedImageEvenWhenDisabled) {
    key->CheckBtn(true);
    EXPECT_EQ(Centre(), QColor(Qt::blue));
    key->EnableWindow(false);
    EXPECT_EQ(Centre(), QColor(Qt::blue));
    key->CheckBtn(false);
    EXPECT_NE(Centre(), QColor(Qt::blue));
}

TEST_F(FlyBtnTest, FlashingTogglesAndStopsForGoodWhenDisabled) {
    key->FlashBtn(true);
    EXPECT_TRUE(key->IsFlashing());
    key->OnTimer(CFlyBtn::kTimerFlash);
    EXPECT_EQ(key->CurrentImage(), 1);
    key->OnTimer(CFlyBtn::kTimerFlash);
    EXPECT_EQ(key->CurrentImage(), 0);
    key->OnTimer(CFlyBtn::kTimerFlash);
    key->FlashBtn(false);
    EXPECT_EQ(key->CurrentImage(), 1);  // stays as it was when stopped
    key->FlashBtn(true);
    key->EnableWindow(false);
    EXPECT_FALSE(key->IsFlashing());
    EXPECT_EQ(key->CurrentImage(), 0);
    key->EnableWindow(true);
    EXPECT_FALSE(key->IsFlashing());
}

TEST_F(FlyBtnTest, FillBackPaintsButtonFaceUnderTransparentPixels) {
    CFlyBtn filled;
    filled.Create("", QRect(50, 10, 28, 24), &phone, Faces(), true, 1001);
    EXPECT_EQ(filled.RenderFace().pixelColor(0, 0), filled.palette().color(QPalette::Button));
    EXPECT_EQ(key->RenderFace().pixelColor(0, 0).alpha(), 0);
}

TEST_F(FlyBtnTest, KeyWithoutTextHasNoTip) {
    CFlyBtn silent;
    silent.Create("", QRect(50, 10, 28, 24), &phone, Faces(), false, 1001);
    EXPECT_EQ(silent.Tip(), nullptr);
    silent.SetText("anything");
    silent.OnMouseMove(QPoint(2, 2));
    silent.OnTimer(CFlyBtn::kTimerTipDelay);
    EXPECT_FALSE(silent.IsTimerActive(CFlyBtn::kTimerTipTime));
    EXPECT_EQ(silent.Tip(), nullptr);
}

TEST_F(FlyBtnTest, DeactivatingTheWindowHidesTheTip) {
    key->OnMouseMove(QPoint(3, 3));
    key->OnTimer(CFlyBtn::kTimerTipDelay);
    ASSERT_TRUE(key->Tip()->isVisible());
    QEvent deactivate(QEvent::WindowDeactivate);
    QCoreApplication::sendEvent(&phone, &deactivate);
    EXPECT_FALSE(key->Tip()->isVisible());
}

}  // namespace
