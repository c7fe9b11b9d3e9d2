#include <gtest/gtest.h>

#include <QAction>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include "res/resource_ids.h"
#include "store/phone_book.h"
#include "ui/tray.h"

namespace {

using kestrona::CPhoneTray;

class TrayTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        root = dir.path().toStdString();
        std::filesystem::create_directories(root / "list");
        kestrona::PersonRecord p;
        p.number = 4321;
        p.SetName("张三");
        p.group = 1;
        kestrona::GroupRecord g;
        g.id = 1;
        g.SetName("friends");
        ASSERT_EQ(kestrona::SaveBook({g}, {p}, root), kestrona::SaveBookResult::kSaved);
        phone.resize(100, 100);
        phone.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&phone));
    }

    std::unique_ptr<CPhoneTray> MakeTray(bool available) {
        auto tray = std::make_unique<CPhoneTray>(&phone, available);
        tray->SetBookRoot(root);
        tray->notify = [this](const QString& title, const QString& text) {
            notes.push_back(title + "|" + text);
        };
        tray->AddTrayIcon();
        return tray;
    }

    QTemporaryDir dir;
    std::filesystem::path root;
    QWidget phone;
    QStringList notes;
};

TEST_F(TrayTest, FlashingNamesTheCallerAndAlternatesTheIcons) {
    auto tray = MakeTray(true);
    EXPECT_EQ(tray->Tip(), "Ostravine Kestrona");
    EXPECT_EQ(tray->CurrentIcon(), 128);
    tray->FlashTray(true, 4321);
    EXPECT_TRUE(tray->IsFlashing());
    EXPECT_EQ(tray->Tip(), QStringLiteral("张三 4321"));
    EXPECT_EQ(tray->CurrentIcon(), 128);  // only the timer changes the icon
    tray->OnFlashStep();
    EXPECT_EQ(tray->CurrentIcon(), 148);
    tray->OnFlashStep();
    EXPECT_EQ(tray->CurrentIcon(), 128);
    EXPECT_TRUE(QTest::qWaitFor([&] { return tray->CurrentIcon() == 148; }, 5000));
    tray->FlashTray(false, 4321);
    EXPECT_FALSE(tray->IsFlashing());
    EXPECT_EQ(tray->CurrentIcon(), 128);
    EXPECT_EQ(tray->Tip(), "Ostravine Kestrona");
    EXPECT_TRUE(notes.isEmpty());  // the tray itself tells of the call
}

TEST_F(TrayTest, IconCarriesTheIconMenuAndDoubleClickRestores) {
    auto tray = MakeTray(true);
    ASSERT_NE(tray->Icon(), nullptr);
    ASSERT_NE(tray->Icon()->contextMenu(), nullptr);
    const auto actions = tray->Icon()->contextMenu()->actions();
    ASSERT_EQ(actions.size(), 4);
    EXPECT_EQ(actions[0]->data().toInt(), 32771);
    EXPECT_EQ(actions[1]->data().toInt(), 32780);
    EXPECT_EQ(actions[3]->data().toInt(), 57665);
    EXPECT_EQ(tray->Icon()->toolTip(), "Ostravine Kestrona");
    tray->HandleCommand(32774);
    ASSERT_FALSE(phone.isVisible());
    emit tray->Icon()->activated(QSystemTrayIcon::DoubleClick);
    EXPECT_TRUE(phone.isVisible());
    tray->RemoveTrayIcon();
    EXPECT_FALSE(tray->IsShown());
}

TEST_F(TrayTest, UnknownCallerGivesSpaceAndNumber) {
    auto tray = MakeTray(true);
    tray->FlashTray(true, 777);
    EXPECT_EQ(tray->Tip(), " 777");
    EXPECT_EQ(kestrona::TrayTipFor(QString(70, 'x'), 1).size(), 63);
}

TEST_F(TrayTest, HideAndRestoreWithATray) {
    auto tray = MakeTray(true);
    EXPECT_TRUE(tray->HandleCommand(32774));
    EXPECT_FALSE(phone.isVisible());
    EXPECT_TRUE(tray->HandleCommand(32771));
    EXPECT_TRUE(phone.isVisible());
    EXPECT_FALSE(phone.isMinimized());
    // Restoring a visible phone leaves it where it is.
    const QPoint at = phone.pos();
    tray->HandleCommand(32771);
    EXPECT_EQ(phone.pos(), at);
}

TEST_F(TrayTest, WithoutATrayHidingMinimisesAndACallIsNotified) {
    auto tray = MakeTray(false);
    EXPECT_FALSE(tray->HasTray());
    EXPECT_EQ(tray->Icon(), nullptr);
    tray->HandleCommand(32774);
    EXPECT_TRUE(phone.isVisible());
    EXPECT_TRUE(phone.isMinimized());
    tray->FlashTray(true, 4321);
    ASSERT_EQ(notes.size(), 1);
    EXPECT_EQ(notes[0], QStringLiteral("Ostravine Kestrona|张三 4321"));
    tray->OnFlashStep();
    EXPECT_EQ(tray->CurrentIcon(), 148);
}

TEST_F(TrayTest, ExitAndKeyCommandsGoToThePhone) {
    auto tray = MakeTray(true);
    std::vector<int> got;
    tray->SetCommandHandler([&](int c) { got.push_back(c); });
    EXPECT_TRUE(tray->HandleCommand(57665));
    EXPECT_TRUE(tray->HandleCommand(1006));
    EXPECT_FALSE(tray->HandleCommand(4242));
    EXPECT_EQ(got, (std::vector<int>{57665, 1006}));
}

TEST_F(TrayTest, HelpThatCannotBeOpenedIsReportedWithItsPath) {
    auto tray = MakeTray(true);
    const QString log = dir.filePath("boxes.log");
    qputenv("KESTRONA_MSGLOG", QFile::encodeName(log));
    // The help is a resource of the installation, not of the current folder.
    qputenv("KESTRONA_RESOURCE_DIR", QFile::encodeName(dir.path()));
    const auto previousOpener = kestrona::HelpOpener();
    QList<QUrl> opened;
    bool launcherWorks = true;
    kestrona::HelpOpener() = [&](const QUrl& url) {
        opened << url;
        return launcherWorks;
    };
    auto boxes = [&] {
        QFile f(log);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    };
    const QString help = QDir(dir.path()).absoluteFilePath("kestrona.hlp");

    // No help file: nothing to launch, and the user is told where it was looked for.
    EXPECT_TRUE(tray->HandleCommand(kestrona::res::kCmdHelp));
    EXPECT_TRUE(opened.isEmpty());
    EXPECT_TRUE(boxes().contains(QStringLiteral("无法打开帮助文件")));
    EXPECT_TRUE(boxes().contains(help));
    QFile::remove(log);

    {
        QFile f(help);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("<!DOCTYPE html>\n<html><body>help</body></html>\n");
    }
    EXPECT_TRUE(tray->HandleCommand(kestrona::res::kCmdHelp));
    ASSERT_EQ(opened.size(), 1);
    EXPECT_TRUE(opened[0].toLocalFile().endsWith(".html"));
    EXPECT_EQ(boxes(), QString());

    // A machine with nothing to open the file with.
    launcherWorks = false;
    EXPECT_TRUE(tray->HandleCommand(kestrona::res::kCmdHelp));
    EXPECT_EQ(opened.size(), 2);
    EXPECT_TRUE(boxes().contains(help));

    kestrona::HelpOpener() = previousOpener;
    qunsetenv("KESTRONA_RESOURCE_DIR");
    qunsetenv("KESTRONA_MSGLOG");
}

TEST(TrayMenus, BothPopupsHoldTheirEntriesInOrder) {
    std::unique_ptr<QMenu> icon(kestrona::BuildPopupMenu(kestrona::kIconPopup));
    QStringList texts;
    QList<int> ids;
    for (QAction* a : icon->actions()) {
        texts << (a->isSeparator() ? "-" : a->text());
        ids << a->data().toInt();
    }
    EXPECT_EQ(texts, (QStringList{QStringLiteral("恢复(&S)"), QStringLiteral("静音/取消静音(&U)"),
                                  "-", QStringLiteral("退出(&E)")}));
    std::unique_ptr<QMenu> window(kestrona::BuildPopupMenu(kestrona::kWindowPopup));
    ids.clear();
    for (QAction* a : window->actions()) ids << a->data().toInt();
    EXPECT_EQ(ids, (QList<int>{32774, 0, 1004, 1005, 1006, 0, 32780, 32775, 1020}));
    EXPECT_EQ(window->actions()[2]->text(), QStringLiteral("打入的电话(&R)"));

    // Without a notification area the window menu also ends the program.
    std::unique_ptr<QMenu> noTray(kestrona::BuildPopupMenu(kestrona::kWindowPopup, nullptr, true));
    ASSERT_EQ(noTray->actions().size(), 11);
    EXPECT_EQ(noTray->actions().last()->data().toInt(), 57665);
    EXPECT_EQ(noTray->actions().last()->text(), QStringLiteral("退出(&E)"));
}

}  // namespace
