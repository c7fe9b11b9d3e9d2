// Renders the phone in every call state and each of its dialogs to PNG files,
// for people to look at: kestrona_screenshots <output folder>.
// It works in a scratch folder with a small phone book and call history.
// The texts are in the language the environment chooses (KESTRONA_LANG).
// "kestrona_screenshots --show-phone" instead shows the phone window, with
// calls going nowhere, until it is closed from the tray menu or a minute has
// passed: a phone for accessibility clients to explore.
#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QMenu>
#include <QPixmap>
#include <QScreen>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>

#include "app/call_clock.h"
#include "app/call_controller.h"
#include "app/call_display.h"
#include "app/call_logic.h"
#include "app/call_services.h"
#include "app/presence.h"
#include "app/ui_language.h"
#include "net/net_context.h"
#include "res/resource_ids.h"
#include "res/strings.h"
#include "settings/settings_model.h"
#include "store/call_history.h"
#include "store/phone_book.h"
#include "ui/add_contact_dlg.h"
#include "ui/call_log_dlg.h"
#include "ui/connection_dlg.h"
#include "ui/fly_btn.h"
#include "ui/login_dlg.h"
#include "ui/option_sheet.h"
#include "ui/phone_book_dlg.h"
#include "ui/register_dlg.h"
#include "ui/skin_face.h"
#include "ui/skin_phone.h"
#include "ui/tray.h"

namespace {

using namespace kestrona;

// Calls go nowhere: only the look is wanted.
class NoCalls : public ICallServices {
  public:
    int QueryUser(int32_t, std::string&, int&) override { return 20; }
    void ReportCall(ReportKind, int32_t, int32_t, int) override {}
    bool HasPeer() const override { return false; }
    void DropPeer() override {}
    bool RequestCall(const std::string&, int) override { return false; }
    void SendParameters(const Paramenter&) override {}
    void SendStartTalk() override {}
    void SendAutoAnswer() override {}
    void EndPeer() override {}
    void ChangeListenPort(bool) override {}
    std::unique_ptr<ICallEngine> CreateEngine(IEngineOwner*) override { return nullptr; }
    void PlayRing(const std::string&) override {}
    int PlayRingOnce(const std::string&) override { return -1; }
};

// Fixed answers of presence look-ups: one contact of each state.
class ShownPresence : public PresenceSource {
  public:
    std::unique_ptr<Watch> WatchNumbers(std::vector<int32_t>) override {
        return std::make_unique<Watch>();
    }
    PresenceState StateOf(int32_t number) const override {
        if (number == 10086)
            return PresenceState::kOnline;
        if (number == 20517 || number == 27182)
            return PresenceState::kOffline;
        return PresenceState::kUnknown;
    }
};

// Shows a call state on the window the way the controller would, without
// placing a call: the display's texts and the keys the state enables.
// sas: the four characters of an encrypted call; empty for a plain one.
void ShowState(CPhoneDlg& phone, const QString& localAddress, int state, int32_t peer,
               const QString& name, int seconds, const QString& sas = {}, bool muted = false) {
    DisplayTexts texts =
        MakeDisplayTexts(localAddress, state, seconds, 8000, name, peer, QTime::currentTime());
    if (muted)
        AddMutedMark(texts, state);
    if (!sas.isEmpty())
        AddEncryptedMark(texts, sas);
    phone.ShowDisplay(texts);
    if (const auto keys = KeysForState(state)) {
        auto look = [](bool enabled) {
            KeyLook k;
            k.enabled = enabled;
            return k;
        };
        phone.ShowKey(res::kCmdCall, look(keys->call));
        phone.ShowKey(res::kCmdHangUp, look(keys->hangUp));
        for (int c = res::kCmdDigit1; c <= res::kCmdClear; ++c)
            phone.ShowKey(c, look(keys->digits));
        phone.ShowKey(res::kCmdRecord, look(keys->record));
    }
    KeyLook autoKey;
    autoKey.checked = state == 3;
    phone.ShowKey(res::kCmdAutoAnswer, autoKey);
}

QString g_out;
int g_failures = 0;

void Save(QWidget* w, const QString& name) {
    w->show();
    w->raise();
    QApplication::processEvents();
    QApplication::processEvents();
    const QString path = g_out + QLatin1Char('/') + name + QStringLiteral(".png");
    if (!w->grab().save(path)) {
        std::fprintf(stderr, "could not write %s\n", qPrintable(path));
        ++g_failures;
    } else {
        std::printf("%s\n", qPrintable(path));
    }
}

void SampleFiles() {
    QDir().mkpath(QStringLiteral("list"));
    QDir().mkpath(QStringLiteral("record"));
    GroupRecord friends{1, {}}, work{2, {}};
    friends.SetName("朋友");
    work.SetName("同事");
    std::vector<PersonRecord> persons;
    auto person = [&](int number, const char* name, const char* mail, int group) {
        PersonRecord p;
        p.number = number;
        p.SetName(name);
        p.SetEmail(mail);
        p.group = group;
        persons.push_back(p);
    };
    person(10086, "王小明", "wang@example.cn", 1);
    person(20517, "李华", "lihua@example.cn", 1);
    person(31415, "Zhang Wei", "zw@example.com", 1);
    person(27182, "陈经理", "chen@example.cn", 2);
    SaveBook({friends, work}, persons);
    const int numbers[] = {10086, 20517, 55555, 31415};
    for (int type = 0; type < 3; ++type) {
        for (int i = 0; i < 4; ++i) {
            SystemTime t{2026,
                         12,
                         1,
                         static_cast<uint16_t>(1 + i + type),
                         static_cast<uint16_t>(9 + i),
                         static_cast<uint16_t>(5 * i),
                         static_cast<uint16_t>(7 * i),
                         0};
            HistoryRecord r = BeginRecord(numbers[i], type, t);
            r.recorded = (i % 2 == 1) ? 1 : 0;
            r.rate = 8000;
            AppendRecord(r);
        }
    }
}

int ShowPhone() {
    QApplication::setApplicationName(QStringLiteral("Kestrona"));
    QTemporaryDir scratch;
    qputenv("KESTRONA_CONFIG_HOME", scratch.path().toUtf8());
    QDir::setCurrent(scratch.path());
    NoCalls calls;
    SettingsModel model;
    model.m_nID = 80001;
    const auto clock = MakeQtCallClock();
    CCallController controller(calls, model, *clock);
    auto phone = MakeSkinnedPhone(controller, model);
    controller.SetLocalAddress(QStringLiteral("80001 127.0.0.1:4020"));
    phone->show();
    QTimer::singleShot(60000, qApp, &QCoreApplication::quit);
    std::printf("ready\n");
    std::fflush(stdout);
    const int code = QApplication::exec();
    QDir::setCurrent(QDir::tempPath());
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    ApplyUiLanguage();
    if (argc >= 2 && std::strcmp(argv[1], "--show-phone") == 0)
        return ShowPhone();
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <output folder>\n", argv[0]);
        return 2;
    }
    g_out = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    QDir().mkpath(g_out);
    QTemporaryDir scratch;
    qputenv("KESTRONA_CONFIG_HOME", scratch.path().toUtf8());
    QDir::setCurrent(scratch.path());
    SampleFiles();

    NoCalls calls;
    SettingsModel model;
    model.m_nID = 80001;
    model.m_nRate = 0;
    const auto clock = MakeQtCallClock();
    CCallController controller(calls, model, *clock);
    auto phone = MakeSkinnedPhone(controller, model);
    const QString localAddress = QStringLiteral("80001 192.168.1.20:4020");
    controller.SetLocalAddress(localAddress);
    struct Shot {
        int state;
        int32_t peer;
        const char* name;
        int seconds;
    };
    const Shot shots[] = {
        {0, 0, "", 0},           {1, 10086, "王小明", 0},    {2, 10086, "王小明", 754},
        {3, 20517, "李华", 0},   {4, 31415, "Zhang Wei", 0}, {5, 99999, "", 0},
        {6, 10086, "王小明", 0}, {7, 55555, "", 93},         {8, 27182, "陈经理", 0}};
    for (const Shot& s : shots) {
        ShowState(*phone, localAddress, s.state, s.peer, QString::fromUtf8(s.name), s.seconds);
        Save(phone.get(), QStringLiteral("phone_state%1").arg(s.state));
    }
    // An encrypted call, with the characters both sides compare.
    ShowState(*phone, localAddress, 2, 10086, QStringLiteral("王小明"), 754,
              QStringLiteral("K7QX"));
    Save(phone.get(), QStringLiteral("phone_state2_encrypted"));
    // A muted call.
    ShowState(*phone, localAddress, 2, 10086, QStringLiteral("王小明"), 754, {}, true);
    Save(phone.get(), QStringLiteral("phone_state2_muted"));
    // After a call: who called meanwhile and was told busy.
    ShowState(*phone, localAddress, 0, 0, QString(), 0);
    {
        DisplayTexts texts =
            MakeDisplayTexts(localAddress, 0, 0, 8000, QString(), 0, QTime::currentTime());
        texts.status +=
            QStringLiteral("  ") + ResString(res::kStrCalledWhileBusy).arg(QStringLiteral("20517"));
        phone->ShowDisplay(texts);
    }
    Save(phone.get(), QStringLiteral("phone_called_while_busy"));

    // The window as the desktop shows it: cut to the skin's outline.
    {
        ShowState(*phone, localAddress, 0, 0, QString(), 0);
        phone->move(40, 40);
        phone->show();
        for (int i = 0; i < 20; ++i) {
            QApplication::processEvents();
            QThread::msleep(10);
        }
        if (QScreen* screen = QGuiApplication::primaryScreen()) {
            const QRect area = phone->frameGeometry().adjusted(-20, -20, 20, 20);
            const QString path = g_out + QStringLiteral("/phone_on_desktop.png");
            if (screen->grabWindow(0, area.x(), area.y(), area.width(), area.height()).save(path))
                std::printf("%s\n", qPrintable(path));
        }
    }

    // A key with its tip, a disabled key, the two menus.
    {
        CSkinFace face;
        face.EnableKey(res::kCmdHangUp, false);
        face.EnableKey(res::kCmdRecord, false);
        face.SetDisplay(MakeDisplayTexts(QStringLiteral("80001 192.168.1.20:4020"), 0, 0, 8000,
                                         QString(), 0, QTime(9, 41, 0)));
        face.show();
        QApplication::processEvents();
        CFlyBtn* key = face.Key(res::kCmdCall);
        key->OnMouseMove(QPoint(5, 5));
        Save(&face, QStringLiteral("phone_key_highlighted"));
        key->OnTimer(CFlyBtn::kTimerTipDelay);
        Save(key->Tip(), QStringLiteral("tip_call_key"));
        key->OnMouseMove(QPoint(-5, -5));
        // The keyboard's place on a digit key.
        face.activateWindow();
        face.Key(res::kCmdFirstKey + 6)->setFocus(Qt::TabFocusReason);
        Save(&face, QStringLiteral("phone_key_focus"));
        face.clearFocus();
        // How a screen of twice the density shows it.
        QPixmap twice(face.size() * 2);
        twice.setDevicePixelRatio(2.0);
        twice.fill(Qt::white);
        face.render(&twice);
        const QString path = g_out + QStringLiteral("/phone_hidpi_x2.png");
        if (twice.save(path))
            std::printf("%s\n", qPrintable(path));
    }
    for (int popup : {kIconPopup, kWindowPopup}) {
        std::unique_ptr<QMenu> menu(BuildPopupMenu(popup));
        menu->adjustSize();
        Save(menu.get(), QStringLiteral("menu_popup%1").arg(popup));
        menu->hide();
    }

    {
        CPhoneBookDlg book;
        book.m_tree->setCurrentItem(book.m_tree->topLevelItem(0));
        book.m_list->setCurrentItem(book.m_list->topLevelItem(0));
        Save(&book, QStringLiteral("phone_book"));
        ShownPresence presence;
        CPhoneBookDlg shown(nullptr, {}, &presence);
        shown.m_tree->setCurrentItem(shown.m_tree->topLevelItem(0));
        shown.m_list->setCurrentItem(shown.m_list->topLevelItem(0));
        Save(&shown, QStringLiteral("phone_book_presence"));
        CCallLogDlg log(0, nullptr, {}, &presence);
        log.SelectRow(0);
        Save(&log, QStringLiteral("call_log_presence"));
        CAddContactDlg add;
        Save(&add, QStringLiteral("add_contact"));
    }
    for (int type = 0; type < 3; ++type) {
        CCallLogDlg log(type);
        log.SelectRow(0);
        Save(&log, QStringLiteral("call_log_%1").arg(type));
    }
    {
        COptionSheet sheet(&model);
        for (int page = 0; page < sheet.Tabs()->count(); ++page) {
            sheet.SetActivePage(page);
            Save(&sheet, QStringLiteral("options_page%1").arg(page + 1));
        }
    }
    {
        NetContext net(model);
        CLoginDlg login(net, false);
        login.m_editNumber->setText(QStringLiteral("80001"));
        login.m_editPassword->setText(QStringLiteral("secret"));
        Save(&login, QStringLiteral("login"));
        CRegisterDlg registration(net);
        Save(&registration, QStringLiteral("register"));
        CConnectionDlg connection;
        Save(&connection, QStringLiteral("connection"));
    }
    QDir::setCurrent(QDir::tempPath());
    return g_failures == 0 ? 0 : 1;
}
