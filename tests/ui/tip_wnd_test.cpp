#include <gtest/gtest.h>

#include <QApplication>
#include <QCursor>
#include <QFontMetrics>
#include <QLineEdit>
#include <QTest>

#include "ui/tip_wnd.h"

namespace {

TEST(TipWnd, SizesToTextBesideThePointerAndKeepsOldSizeUntilShownAgain) {
    QWidget owner;
    owner.resize(100, 50);
    owner.show();
    CTipWnd tip;
    ASSERT_TRUE(tip.Create("呼叫 / 接听", Qt::black, Qt::yellow, &owner));
    EXPECT_FALSE(tip.isVisible());
    EXPECT_TRUE(tip.testAttribute(Qt::WA_ShowWithoutActivating));

    tip.ShowTip(true);
    EXPECT_TRUE(tip.isVisible());
    EXPECT_EQ(tip.pos(), QCursor::pos() + QPoint(15, 15));
    const QSize first = tip.size();
    const QFontMetrics fm(QApplication::font());
    EXPECT_GE(first.width(), fm.horizontalAdvance("呼叫 / 接听"));

    tip.SetText("a much longer text than before");
    EXPECT_EQ(tip.size(), first);
    tip.ShowTip(true);
    EXPECT_GT(tip.width(), first.width());
}

TEST(TipWnd, PaintsBackgroundFrameAndText) {
    QWidget owner;
    CTipWnd tip;
    tip.Create("Number 7", QColor(0, 0, 128), QColor(255, 255, 200), &owner);
    tip.ShowTip(true);
    const QImage img = tip.grab().toImage();
    EXPECT_EQ(img.pixelColor(0, 0), QColor(0, 0, 128));      // frame
    EXPECT_EQ(img.pixelColor(1, 1), QColor(255, 255, 200));  // background
    bool ink = false;
    for (int y = 2; y < img.height() - 2 && !ink; ++y)
        for (int x = 2; x < img.width() - 2 && !ink; ++x)
            ink = img.pixelColor(x, y) != QColor(255, 255, 200);
    EXPECT_TRUE(ink);
}

TEST(TipWnd, HidingGivesFocusBackToOwner) {
    QWidget window;
    auto* owner = new QLineEdit(&window);
    auto* other = new QLineEdit(&window);
    other->move(0, 40);
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    CTipWnd tip;
    tip.Create("清除", Qt::black, Qt::white, owner);
    other->setFocus();
    QApplication::processEvents();
    ASSERT_TRUE(other->hasFocus());
    tip.ShowTip(true);
    tip.ShowTip(false);
    QApplication::processEvents();
    EXPECT_TRUE(owner->hasFocus());
    EXPECT_FALSE(tip.isVisible());
}

}  // namespace
