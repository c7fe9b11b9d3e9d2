// The phone in English: the language rules, the catalogue's coverage of the
// string table and the dialogs, texts that must fit the skin's display, and
// what screen readers and keyboard users get from the skinned keys.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAccessible>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTime>
#include <QTreeWidget>
#include <map>
#include <memory>

#include "app/ui_language.h"
#include "net/net_context.h"
#include "res/resource_ids.h"
#include "res/strings.h"
#include "settings/settings_model.h"
#include "ui/add_contact_dlg.h"
#include "ui/call_log_dlg.h"
#include "ui/connection_dlg.h"
#include "ui/fly_btn.h"
#include "ui/login_dlg.h"
#include "ui/option_sheet.h"
#include "ui/phone_book_dlg.h"
#include "ui/presence_marks.h"
#include "ui/register_dlg.h"
#include "ui/skin_accessible.h"
#include "ui/skin_face.h"
#include "ui/tray.h"

using namespace kestrona;

namespace {

bool HasChinese(const QString& text) {
    static const QRegularExpression han(
        QStringLiteral("[\\x{3000}-\\x{303F}\\x{4E00}-\\x{9FFF}"
                       "\\x{FF00}-\\x{FFEF}]"));
    return han.match(text).hasMatch();
}

// The placeholders a text carries, which its translation must keep.
QStringList Placeholders(const QString& text) {
    QStringList found;
    static const QRegularExpression re(QStringLiteral("%(\\d|d|s)"));
    for (auto it = re.globalMatch(text); it.hasNext();) found << it.next().captured();
    found.sort();
    return found;
}

class English : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        qputenv("KESTRONA_CONFIG_HOME", dir.path().toUtf8());
        ASSERT_TRUE(InstallUiLanguage(UiLanguage::kEnglish));
    }
    void TearDown() override {
        InstallUiLanguage(UiLanguage::kChinese);
        qunsetenv("KESTRONA_CONFIG_HOME");
    }
    QTemporaryDir dir;
};

TEST(UiLanguage, LocaleRulesAndOverrides) {
    struct Case {
        std::map<std::string, std::string> env;
        std::string stored;
        UiLanguage want;
    };
    const auto zh = UiLanguage::kChinese;
    const auto en = UiLanguage::kEnglish;
    const Case cases[] = {
        {{}, "", zh},  // nothing set is the C locale
        {{{"LANG", "zh_CN.UTF-8"}}, "", zh},
        {{{"LANG", "zh_TW.Big5"}}, "", zh},
        {{{"LANG", "C"}}, "", zh},
        {{{"LANG", "C.UTF-8"}}, "", zh},
        {{{"LC_ALL", "POSIX"}, {"LANG", "en_US.UTF-8"}}, "", zh},
        {{{"LANG", "en_US.UTF-8"}}, "", en},
        {{{"LANG", "de_DE.UTF-8"}}, "", en},
        {{{"LC_MESSAGES", "zh_CN.UTF-8"}, {"LANG", "en_US.UTF-8"}}, "", zh},
        {{{"LC_ALL", "en_GB.UTF-8"}, {"LC_MESSAGES", "zh_CN.UTF-8"}}, "", en},
        // LANGUAGE picks among the languages there are texts for ...
        {{{"LANG", "en_US.UTF-8"}, {"LANGUAGE", "fr:zh_CN:en"}}, "", zh},
        {{{"LANG", "zh_CN.UTF-8"}, {"LANGUAGE", "en_US"}}, "", en},
        // ... but not in the C locale.
        {{{"LANG", "C"}, {"LANGUAGE", "en_US"}}, "", zh},
        // The stored choice beats the locale, the variable beats both.
        {{{"LANG", "en_US.UTF-8"}}, "zh", zh},
        {{{"LANG", "zh_CN.UTF-8"}}, "en", en},
        {{{"LANG", "zh_CN.UTF-8"}, {"KESTRONA_LANG", "en"}}, "zh", en},
        {{{"LANG", "en_US.UTF-8"}, {"KESTRONA_LANG", "zh_CN"}}, "", zh},
        {{{"LANG", "en_US.UTF-8"}, {"KESTRONA_LANG", "xx"}}, "junk", en},
    };
    int i = 0;
    for (const Case& c : cases) {
        const auto env = [&](const char* name) {
            const auto it = c.env.find(name);
            return it == c.env.end() ? std::string() : it->second;
        };
        EXPECT_EQ(ChooseLanguage(env, c.stored), c.want) << "case " << i;
        ++i;
    }
}

// A message box's own buttons follow the phone's language, not Qt's English.
TEST(UiLanguage, QtsOwnButtonsFollowTheLanguage) {
    auto texts = [] {
        QDialogButtonBox box(QDialogButtonBox::Ok | QDialogButtonBox::Cancel |
                             QDialogButtonBox::Yes | QDialogButtonBox::No);
        QStringList out;
        for (auto b : {QDialogButtonBox::Ok, QDialogButtonBox::Cancel, QDialogButtonBox::Yes,
                       QDialogButtonBox::No})
            // Without the accelerator: "&OK", "是(&Y)".
            out << box.button(b)->text().remove(QRegularExpression(QStringLiteral("\\(&.\\)|&")));
        return out;
    };
    InstallUiLanguage(UiLanguage::kChinese);
    EXPECT_EQ(texts(), (QStringList{QStringLiteral("确定"), QStringLiteral("取消"),
                                    QStringLiteral("是"), QStringLiteral("否")}));
    ASSERT_TRUE(InstallUiLanguage(UiLanguage::kEnglish));
    EXPECT_EQ(texts(), (QStringList{QStringLiteral("OK"), QStringLiteral("Cancel"),
                                    QStringLiteral("Yes"), QStringLiteral("No")}));
    InstallUiLanguage(UiLanguage::kChinese);
}

TEST_F(English, EveryStringTableEntryIsTranslatedWithItsPlaceholders) {
    const QList<int> ids = ResStringIds();
    ASSERT_GE(ids.size(), 49);
    for (int id : ids) {
        const QString source = ResSourceString(id);
        const QString text = ResString(id);
        EXPECT_FALSE(text.isEmpty()) << id;
        EXPECT_FALSE(HasChinese(text)) << id << ": " << text.toStdString();
        EXPECT_EQ(Placeholders(text), Placeholders(source)) << id;
        EXPECT_EQ(text.count(QLatin1Char('&')), source.count(QLatin1Char('&'))) << id;
    }
    EXPECT_EQ(ResString(res::kStrFirstState), QStringLiteral("Ready..."));
    InstallUiLanguage(UiLanguage::kChinese);
    EXPECT_EQ(ResString(res::kStrFirstState), QStringLiteral("就绪..."));
}

// The display draws each text at a fixed place; in English every one of
// them must end before the next text (or the display's edge) begins.
TEST_F(English, DisplayTextsFitTheirPlaces) {
    const QFontMetrics fm(DisplayFont());
    auto fits = [&](const QString& text, const QRect& place) {
        return fm.horizontalAdvance(text) <= place.width();
    };
    for (int state = 0; state <= 8; ++state) {
        for (int rate : {8000, 24000}) {
            const DisplayTexts t =
                MakeDisplayTexts(QString(), state, 90061, rate, QStringLiteral("王小明"),
                                 2147483647, QTime(23, 59, 59));
            EXPECT_FALSE(HasChinese(t.status)) << state;
            EXPECT_TRUE(fits(t.status, DisplayPlaces::kStatus))
                << t.status.toStdString() << " is " << fm.horizontalAdvance(t.status) << " px";
            EXPECT_TRUE(fits(t.time, DisplayPlaces::kTime)) << t.time.toStdString();
            EXPECT_TRUE(fits(t.peer, DisplayPlaces::kPeer)) << t.peer.toStdString();
        }
    }
}

// A screen reader hears a contact's state in English, in the cell's name
// and description.
TEST_F(English, PresenceIsSpokenInEnglish) {
    QTreeWidget list;
    list.setColumnCount(1);
    const std::pair<PresenceState, QString> states[] = {
        {PresenceState::kOnline, QStringLiteral("online")},
        {PresenceState::kOffline, QStringLiteral("offline")},
        {PresenceState::kUnknown, QStringLiteral("status unknown")},
    };
    for (const auto& [state, word] : states) {
        auto* row = new QTreeWidgetItem(&list, {QStringLiteral("Zhao")});
        ShowPresence(*row, 0, state);
    }
    list.show();
    QAccessibleInterface* tree = QAccessible::queryAccessibleInterface(&list);
    ASSERT_NE(tree, nullptr);
    QAccessibleTableInterface* table = tree->tableInterface();
    ASSERT_NE(table, nullptr);
    for (int i = 0; i < 3; ++i) {
        QAccessibleInterface* cell = table->cellAt(i, 0);
        ASSERT_NE(cell, nullptr);
        EXPECT_EQ(cell->text(QAccessible::Description), states[i].second);
        EXPECT_EQ(cell->text(QAccessible::Name), QStringLiteral("Zhao, ") + states[i].second);
    }
}

// Every text of every dialog, page and menu is English, and none is cut.
TEST_F(English, DialogsShowOnlyEnglishTextsThatFit) {
    SettingsModel model;
    NetContext net(model);
    std::vector<std::unique_ptr<QWidget>> windows;
    windows.push_back(std::make_unique<CAddContactDlg>());
    windows.push_back(std::make_unique<CPhoneBookDlg>(nullptr, dir.path().toStdString()));
    for (int type = 0; type < 3; ++type)
        windows.push_back(std::make_unique<CCallLogDlg>(type, nullptr, dir.path().toStdString()));
    auto sheet = std::make_unique<COptionSheet>(&model);
    for (int page = 0; page < sheet->Tabs()->count(); ++page) sheet->SetActivePage(page);
    windows.push_back(std::move(sheet));
    windows.push_back(std::make_unique<CLoginDlg>(net, false));
    windows.push_back(std::make_unique<CRegisterDlg>(net));
    windows.push_back(std::make_unique<CConnectionDlg>());
    for (int popup : {kIconPopup, kWindowPopup})
        windows.push_back(std::unique_ptr<QWidget>(BuildPopupMenu(popup)));

    int texts = 0;
    for (auto& window : windows) {
        window->show();
        QApplication::processEvents();
        const std::string where = window->metaObject()->className();
        // A field is named by its label, for screen readers.
        auto named = [&](QWidget* field) {
            const QString name =
                QAccessible::queryAccessibleInterface(field)->text(QAccessible::Name);
            EXPECT_FALSE(name.isEmpty())
                << where << ": field " << field->objectName().toStdString();
            EXPECT_FALSE(HasChinese(name)) << where << ": " << name.toStdString();
        };
        auto check = [&](const QString& text, QWidget* w = nullptr, int room = 0) {
            ++texts;
            EXPECT_FALSE(HasChinese(text)) << where << ": " << text.toStdString();
            if (w && w->isVisible()) {
                EXPECT_GE(room, w->sizeHint().width()) << where << ": " << text.toStdString();
            }
        };
        check(window->windowTitle());
        for (QWidget* w : window->findChildren<QWidget*>()) {
            if (auto* edit = qobject_cast<QLineEdit*>(w)) {
                named(edit);
            } else if (auto* label = qobject_cast<QLabel*>(w)) {
                check(label->text(), label->wordWrap() ? nullptr : label, label->width());
            } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
                check(button->text(), button, button->width());
            } else if (auto* box = qobject_cast<QGroupBox*>(w)) {
                check(box->title());
            } else if (auto* combo = qobject_cast<QComboBox*>(w)) {
                // The language list names each language in itself.
                const int own = combo->objectName() == QLatin1String("language") ? 2 : 0;
                for (int i = 0; i < combo->count() - own; ++i) check(combo->itemText(i));
                named(combo);
            } else if (auto* tabs = qobject_cast<QTabWidget*>(w)) {
                for (int i = 0; i < tabs->count(); ++i) check(tabs->tabText(i));
            } else if (auto* tree = qobject_cast<QTreeWidget*>(w)) {
                for (int i = 0; i < tree->columnCount(); ++i) check(tree->headerItem()->text(i));
            }
        }
        if (auto* menu = qobject_cast<QMenu*>(window.get())) {
            for (QAction* action : menu->actions()) check(action->text());
        }
        window->hide();
    }
    EXPECT_GT(texts, 150);
}

class SkinKeys : public ::testing::Test {
  protected:
    void SetUp() override {
        face.SetCommandHandler([this](int command) { commands.push_back(command); });
        face.show();
        QApplication::processEvents();
    }
    CSkinFace face;
    std::vector<int> commands;
};

TEST_F(SkinKeys, KeysAreNamedButtonsWithAPressAction) {
    for (int command = res::kCmdFirstKey; command < res::kCmdFirstKey + res::kKeyCount; ++command) {
        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(face.Key(command));
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(a->role(), QAccessible::Button);
        EXPECT_EQ(a->text(QAccessible::Name), ResString(res::kStrFirstTip + command - 1001));
        EXPECT_FALSE(a->text(QAccessible::Description).isEmpty()) << command;
        ASSERT_NE(a->actionInterface(), nullptr);
        EXPECT_TRUE(a->actionInterface()->actionNames().contains(
            QAccessibleActionInterface::pressAction()));
    }
    QAccessibleInterface* call = QAccessible::queryAccessibleInterface(face.Key(res::kCmdCall));
    call->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    EXPECT_EQ(commands, std::vector<int>{res::kCmdCall});

    // A switched-off key says so and cannot be pressed; the toggle key says
    // whether it is on.
    face.EnableKey(res::kCmdHangUp, false);
    QAccessibleInterface* hangUp = QAccessible::queryAccessibleInterface(face.Key(res::kCmdHangUp));
    EXPECT_TRUE(hangUp->state().disabled);
    EXPECT_FALSE(hangUp->actionInterface()->actionNames().contains(
        QAccessibleActionInterface::pressAction()));
    hangUp->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    EXPECT_EQ(commands.size(), 1u);
    QAccessibleInterface* autoKey =
        QAccessible::queryAccessibleInterface(face.Key(res::kCmdAutoAnswer));
    EXPECT_TRUE(autoKey->state().checkable);
    EXPECT_FALSE(autoKey->state().checked);
    face.CheckKey(res::kCmdAutoAnswer, true);
    EXPECT_TRUE(autoKey->state().checked);
}

TEST_F(SkinKeys, DisplayTextsAreReadable) {
    face.SetDisplay(MakeDisplayTexts(QStringLiteral("80001 10.0.0.1:4020"), 3, 0, 8000,
                                     QStringLiteral("李华"), 20517, QTime(9, 41, 0)));
    QAccessibleInterface* status = QAccessible::queryAccessibleInterface(face.StatusField());
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->role(), QAccessible::StaticText);
    EXPECT_EQ(status->text(QAccessible::Name), ResString(res::kStrFirstState + 3));
    QStringList all;
    QAccessibleInterface* faceA = QAccessible::queryAccessibleInterface(&face);
    for (int i = 0; i < faceA->childCount(); ++i) {
        if (faceA->child(i)->role() == QAccessible::StaticText)
            all << faceA->child(i)->text(QAccessible::Name);
    }
    EXPECT_TRUE(all.contains(QStringLiteral("李华 20517"))) << all.join('|').toStdString();
    EXPECT_TRUE(all.contains(QStringLiteral("09:41:00")));
    // The fields let the mouse through to the skin (dragging, the menu).
    EXPECT_EQ(face.childAt(DisplayPlaces::kStatus.center()), nullptr);
}

TEST_F(SkinKeys, TabReachesADigitKeyAndSpacePressesIt) {
    face.activateWindow();
    face.setFocus();
    CFlyBtn* one = face.Key(1007);
    for (int i = 0; i < 40 && QApplication::focusWidget() != one; ++i)
        QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : &face,
                        Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), one);
    // A tip of another key coming and going leaves the keyboard where it is.
    face.Key(res::kCmdSetup)->OnTimer(CFlyBtn::kTimerTipDelay);
    face.Key(res::kCmdSetup)->OnTimer(CFlyBtn::kTimerTipTime);
    EXPECT_EQ(QApplication::focusWidget(), one);
    QTest::keyClick(one, Qt::Key_Space);
    EXPECT_EQ(commands, std::vector<int>{1007});
    // Enter stays the window's: the key does not take it for itself.
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(one, &enter);
    EXPECT_FALSE(enter.isAccepted());
    EXPECT_EQ(commands.size(), 1u);
}

}  // namespace
