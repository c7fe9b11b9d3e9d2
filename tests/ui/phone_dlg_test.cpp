// The phone window as the controller's view: keys, keyboard and window
// commands reach the controller, and the face shows what it holds.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>

#include "app/call_controller.h"
#include "app/call_fakes.h"
#include "platform/temp_dir.h"
#include "res/strings.h"
#include "ui/phone_dlg.h"

using namespace kestrona;
using namespace kestrona::testing;

namespace {

class PhoneDlgTest : public ::testing::Test {
  protected:
    PhoneDlgTest() {
        services.root = dir.path();
        std::filesystem::create_directories(dir.path() / "list");
        model.m_nID = 500;
        PhoneWindowHooks hooks;
        hooks.flashTray = [this](bool on, int32_t peer) {
            tray.push_back((on ? "flash " : "still ") + std::to_string(peer));
        };
        window.SetHooks(std::move(hooks));
    }
    IPhoneFace& Face() { return window.Face(); }

    kestrona::testing::TempDir dir;
    FakeServices services;
    FakeClock clock;
    SettingsModel model;
    CCallController controller{services, model, clock};
    CPhoneDlg window{controller};
    Log tray;
};

}  // namespace

TEST_F(PhoneDlgTest, FaceFollowsTheController) {
    EXPECT_TRUE(Face().IsKeyEnabled(kCmdCall));
    EXPECT_FALSE(Face().IsKeyEnabled(kCmdHangUp));
    EXPECT_EQ(Face().Display().status, ResString(125));

    RequestCall request;
    request.nCallerId = 321;
    request.nSampleRate = 8000;
    controller.OnIncomingCall(request);
    services.Post(kMsgEngineSetup, 0);  // the audio ports are open
    EXPECT_TRUE(Face().IsKeyFlashing(kCmdCall));
    EXPECT_TRUE(Face().IsKeyEnabled(kCmdHangUp));
    EXPECT_FALSE(Face().IsKeyEnabled(1007));
    EXPECT_EQ(Face().Display().peer, QStringLiteral(" 321"));
    EXPECT_EQ(tray, Log{"flash 321"});

    // The keys send their commands: answer, then hang up.
    Face().Widget()->setFocus();
    controller.OnCommand(kCmdCall);
    EXPECT_FALSE(Face().IsKeyFlashing(kCmdCall));
    EXPECT_TRUE(Face().IsKeyEnabled(kCmdRecord));
    QTest::keyClick(&window, Qt::Key_Escape);
    EXPECT_EQ(controller.State(), kStateReady);
    EXPECT_FALSE(Face().IsKeyEnabled(kCmdHangUp));
}

TEST_F(PhoneDlgTest, KeyboardDialsAndTheWindowHangsUp) {
    QTest::keyClick(&window, Qt::Key_4);
    QTest::keyClick(&window, Qt::Key_0, Qt::KeypadModifier);
    EXPECT_EQ(controller.Digits(), "40");
    EXPECT_EQ(Face().Display().peer, QStringLiteral(" 40"));
    QTest::keyClick(&window, Qt::Key_Backspace);
    EXPECT_EQ(controller.PeerNumber(), -1);

    // Esc and closing the window in the ready state do nothing: the hang-up
    // key is disabled.
    QTest::keyClick(&window, Qt::Key_Escape);
    window.close();
    EXPECT_TRUE(services.log.empty());

    QTest::keyClick(&window, Qt::Key_7);
    QTest::keyClick(&window, Qt::Key_Return);
    EXPECT_EQ(controller.State(), kStateDialling);
    EXPECT_TRUE(Contains(services.log, "query 7"));
    window.close();
    EXPECT_EQ(controller.State(), kStateReady);
}
