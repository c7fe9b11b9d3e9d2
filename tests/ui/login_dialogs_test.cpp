#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "net/net_context.h"
#include "net/records.h"
#include "platform/temp_dir.h"
#include "res/strings.h"
#include "settings/sys_reg_info.h"
#include "support/fake_messages.h"
#include "ui/connection_dlg.h"
#include "ui/login_dlg.h"
#include "ui/register_dlg.h"

using namespace kestrona;

namespace {

// A directory server in this thread: it greets every connection, keeps what
// it is sent and answers with the scripted reply (served inside the
// dialogs' waits, which keep the event loop running).
class FakeDirectory : public QObject {
  public:
    FakeDirectory() {
        server.listen(QHostAddress::LocalHost);
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = server.nextPendingConnection()) {
                ++connections;
                s->write("ACCEPT");
                connect(s, &QTcpSocket::readyRead, this, [this, s] {
                    requests.push_back(s->readAll());
                    if (onRequest) {
                        onRequest();
                    }
                    s->write(reply);
                });
            }
        });
    }
    int Port() const { return server.serverPort(); }

    QTcpServer server;
    QByteArray reply;
    std::vector<QByteArray> requests;
    std::function<void()> onRequest;
    int connections = 0;
};

QByteArray LoginResult(int result, int period) {
    QByteArray r(252, '\0');
    std::memcpy(r.data(), "LOGINRESULT", 11);
    PutInt32(r.data() + 20, result);
    PutInt32(r.data() + 36, period);
    std::memcpy(r.data() + 52, "welcome", 7);
    return r;
}

class DialogTest : public ::testing::Test {
  protected:
    DialogTest() : net(model) {
        ::setenv("KESTRONA_MSGLOG", (home.path() / "boxes.log").c_str(), 1);
        CSysRegInfo store;
        store.InitRegKeys(nullptr);
        store.SetRegInt("HostPort", directory.Port());
        model.m_nTimeout = 3;
        net.messages = &messages;
    }
    ~DialogTest() override { ::unsetenv("KESTRONA_MSGLOG"); }
    std::string Stored(const char* name) {
        std::string text;
        CSysRegInfo().GetRegValue(name, text);
        return text;
    }
    void FillRegistration(CRegisterDlg& d, const QString& name, const QString& pw,
                          const QString& pw2, const QString& email, const QString& city) {
        d.m_editName->setText(name);
        d.m_editPassword->setText(pw);
        d.m_editPassword2->setText(pw2);
        d.m_editEmail->setText(email);
        d.m_editCountry->setText(QStringLiteral("中国"));
        d.m_editCity->setText(city);
    }

    kestrona::testing::ConfigHome home;
    FakeDirectory directory;
    SettingsModel model;
    NetContext net;
    test::FakeMessages messages;
};

}  // namespace

TEST_F(DialogTest, LoginStoresNumberAndPasswordOnSuccess) {
    directory.reply = LoginResult(0, 7);
    CLoginDlg dialog(net, true);
    dialog.m_editNumber->setText(QStringLiteral("10001"));
    dialog.m_editPassword->setText(QStringLiteral("open sesame"));
    dialog.OnOK();
    EXPECT_EQ(dialog.result(), 1);
    EXPECT_EQ(dialog.m_nNumber, 10001);
    EXPECT_EQ(Stored("id"), "10001");
    EXPECT_EQ(Stored("password"), "open sesame");  // in clear, as the next start needs it
    EXPECT_EQ(net.m_nLivePeriod, 7);
    EXPECT_EQ(net.m_strLoginText, "welcome");

    ASSERT_EQ(directory.requests.size(), 1u);
    const QByteArray& r = directory.requests[0];
    ASSERT_EQ(r.size(), 76);
    EXPECT_EQ(r.left(10), QByteArray("USERLOGIN\0", 10));
    EXPECT_EQ(GetInt32(r.data() + 20), 10001);
    EXPECT_EQ(QByteArray(r.data() + 24), QByteArray("open sesame"));
    EXPECT_EQ(r[48], 0);  // stored "proxy" 0
    EXPECT_EQ(r[49], 1);  // started hidden
    EXPECT_EQ(GetInt32(r.data() + 72), 1228);
}

TEST_F(DialogTest, LoginFailuresKeepTheDialogOpen) {
    directory.reply = LoginResult(2, 60);
    CLoginDlg dialog(net, false);
    dialog.m_editNumber->setText(QStringLiteral("10001"));
    dialog.m_editPassword->setText(QStringLiteral("wrong"));
    dialog.OnOK();
    EXPECT_EQ(dialog.result(), 0);
    EXPECT_EQ(messages.ids, std::vector<int>{139});
    EXPECT_EQ(Stored("id"), "");

    // Refused: no message at all.
    directory.reply = LoginResult(1, 60);
    dialog.OnOK();
    EXPECT_EQ(messages.ids, std::vector<int>{139});

    // A password longer than its field is refused before anything is sent.
    const auto sent = directory.requests.size();
    dialog.m_editPassword->setText(QString(20, QLatin1Char('x')));
    dialog.OnOK();
    EXPECT_EQ(directory.requests.size(), sent);
    EXPECT_EQ(dialog.result(), 0);
}

TEST_F(DialogTest, LoginWithoutServerTimesOut) {
    CSysRegInfo().SetRegInt("HostPort", 1);
    CLoginDlg dialog(net, false);
    dialog.m_editNumber->setText(QStringLiteral("5"));
    dialog.OnOK();
    EXPECT_EQ(messages.ids, std::vector<int>{138});
}

TEST_F(DialogTest, RegistrationChecksItsData) {
    CRegisterDlg dialog(net);
    const QString ok = QStringLiteral("a@b.c");
    struct Case {
        QString pw, pw2, email, city;
    };
    const Case refused[] = {
        {"pw", "PW", ok, "苏州"},      // differs only in case
        {"pw", "pw", "ab.c", "苏州"},  // no "@"
        {"pw", "pw", "a@bc", "苏州"},  // no "."
        {"pw", "pw", ok, ""},          // empty city
        {"", "", ok, "苏州"},          // empty passwords
    };
    for (const Case& c : refused) {
        FillRegistration(dialog, QStringLiteral("王小明"), c.pw, c.pw2, c.email, c.city);
        dialog.OnRegister();
    }
    EXPECT_EQ(messages.ids, std::vector<int>(5, 135));
    EXPECT_EQ(directory.connections, 0);
    // Only the presence of both characters counts.
    EXPECT_TRUE(CRegisterDlg::IsValidRegistration(QStringLiteral("n"), QStringLiteral("p"),
                                                  QStringLiteral("p"), QStringLiteral(".@"),
                                                  QStringLiteral("c"), QStringLiteral("c")));
}

TEST_F(DialogTest, RegistrationNamesAreCountedInCodePageBytes) {
    CRegisterDlg dialog(net);
    // Ten Chinese characters are 20 bytes: one too many.
    FillRegistration(dialog, QString(10, QChar(0x738B)), QStringLiteral("p"), QStringLiteral("p"),
                     QStringLiteral("a@b.c"), QStringLiteral("x"));
    dialog.OnRegister();
    EXPECT_EQ(directory.connections, 0);
    EXPECT_TRUE(messages.ids.empty());  // the length message, not 135

    directory.reply = QByteArray("REGISTERNEWSUCCESS") + QByteArray("\x11\x27\0\0", 4);
    dialog.m_editName->setText(QString(9, QChar(0x738B)) + QLatin1Char('x'));  // 19 bytes
    dialog.OnRegister();
    EXPECT_EQ(dialog.result(), 1);
}

TEST_F(DialogTest, RegistrationStoresTheNewNumberAndDisablesItsButtonMeanwhile) {
    directory.reply = QByteArray("REGISTERNEWSUCCESS") + QByteArray("\x11\x27\0\0", 4);  // 10001
    CRegisterDlg dialog(net);
    bool enabledDuringExchange = true;
    directory.onRequest = [&] { enabledDuringExchange = dialog.m_btnRegister->isEnabled(); };
    FillRegistration(dialog, QStringLiteral("王小明"), QStringLiteral("pw"), QStringLiteral("pw"),
                     QStringLiteral("wang@example.org"), QStringLiteral("苏州"));
    dialog.OnRegister();
    EXPECT_FALSE(enabledDuringExchange);
    EXPECT_TRUE(dialog.m_btnRegister->isEnabled());
    EXPECT_EQ(dialog.result(), 1);
    EXPECT_EQ(dialog.m_nNewNumber, 10001);
    EXPECT_EQ(Stored("ID"), "10001");
    EXPECT_EQ(Stored("username"), "王小明");
    EXPECT_EQ(Stored("email"), "wang@example.org");
    EXPECT_EQ(Stored("country"), "中国");
    EXPECT_EQ(Stored("city"), "苏州");
    EXPECT_EQ(Stored("password"), "");  // the registration does not store it
    ASSERT_EQ(messages.texts.size(), 1u);
    EXPECT_NE(messages.texts[0].find("10001"), std::string::npos);

    ASSERT_EQ(directory.requests.size(), 1u);
    const QByteArray& r = directory.requests[0];
    ASSERT_EQ(r.size(), 144);
    EXPECT_EQ(QByteArray(r.data() + 60), QByteArray("wang@example.org"));
}

TEST_F(DialogTest, RegistrationWithATakenAddressStaysOpen) {
    directory.reply = QByteArray("REGISTERNEWFAILEMAIL");
    CRegisterDlg dialog(net);
    FillRegistration(dialog, QStringLiteral("n"), QStringLiteral("pw"), QStringLiteral("pw"),
                     QStringLiteral("a@b.c"), QStringLiteral("x"));
    dialog.OnRegister();
    EXPECT_EQ(messages.ids, std::vector<int>{137});
    EXPECT_EQ(dialog.result(), 0);
    EXPECT_EQ(Stored("ID"), "");
    dialog.OnExistingNumber();
    EXPECT_EQ(dialog.result(), 4);
}

TEST_F(DialogTest, ConnectionDialogShowsTheFirstStartDefaults) {
    CConnectionDlg dialog;
    EXPECT_EQ(dialog.m_cbRate->currentIndex(), 0);
    EXPECT_EQ(dialog.m_cbRate->currentText(), QStringLiteral("56K Modem"));
    EXPECT_EQ(dialog.m_editTimeout->text(), QStringLiteral("20"));
    EXPECT_TRUE(dialog.m_rbNoProxy->isChecked());
    EXPECT_EQ(dialog.m_editAddress->text(), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(dialog.m_editSock5Port->text(), QStringLiteral("1080"));
    EXPECT_EQ(dialog.m_editHttpPort->text(), QStringLiteral("80"));
    EXPECT_EQ(dialog.m_editUser->text(), QString::fromLatin1(CSysRegInfo::kProxyPlaceholder));
    EXPECT_FALSE(dialog.m_editAddress->isEnabled());
    dialog.m_rbProxy->click();
    EXPECT_TRUE(dialog.m_editAddress->isEnabled());
}

TEST_F(DialogTest, ConnectionDialogOnAnEmptyStore) {
    CSysRegInfo empty;
    empty.SetRegSection("Software\\Ostravine\\Empty");
    CConnectionDlg dialog(empty);
    EXPECT_EQ(dialog.m_cbRate->currentIndex(), 3);
    EXPECT_EQ(dialog.m_editHttpPort->text(), QStringLiteral("80"));
    EXPECT_EQ(dialog.m_editSock5Port->text(), QStringLiteral("1080"));
    EXPECT_EQ(dialog.m_editTimeout->text(), QStringLiteral("0"));
    EXPECT_EQ(dialog.m_editAddress->text(), QString());
}

TEST_F(DialogTest, ConnectionDialogStoresOnlyValidInput) {
    CConnectionDlg dialog;
    dialog.m_rbProxy->click();
    dialog.m_editAddress->setText(QStringLiteral("192.168.100.200:1"));  // 17 characters
    dialog.OnOK();
    EXPECT_EQ(dialog.result(), 0);
    EXPECT_EQ(Stored("proxy"), "0");

    dialog.m_editAddress->setText(QStringLiteral("10.0.0.9"));
    dialog.m_editTimeout->setText(QStringLiteral("soon"));
    dialog.OnOK();
    EXPECT_EQ(dialog.result(), 0);

    dialog.m_editTimeout->setText(QStringLiteral("9"));
    dialog.m_cbRate->setCurrentIndex(4);
    dialog.m_editUser->setText(QStringLiteral("user"));
    dialog.OnOK();
    EXPECT_EQ(dialog.result(), 1);
    EXPECT_EQ(Stored("rate"), "4");
    EXPECT_EQ(Stored("timeout"), "9");
    EXPECT_EQ(Stored("proxy"), "1");
    EXPECT_EQ(Stored("proxyaddress"), "10.0.0.9");
    EXPECT_EQ(Stored("proxyusername"), "user");

    CConnectionDlg cancelled;
    cancelled.m_cbRate->setCurrentIndex(1);
    cancelled.reject();
    EXPECT_EQ(cancelled.result(), 2);
    EXPECT_EQ(Stored("rate"), "4");
}
