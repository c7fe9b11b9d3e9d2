#include <gtest/gtest.h>

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>

#include "settings/settings_model.h"
#include "settings/sys_reg_info.h"
#include "ui/option_sheet.h"

namespace {

class Sheet : public COptionSheet {
  public:
    using COptionSheet::COptionSheet;
    QStringList told;

  protected:
    void Tell(const QString& text) override { told << text; }
};

class OptionSheetTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        qputenv("KESTRONA_CONFIG_HOME", dir.path().toUtf8());
    }
    void TearDown() override { qunsetenv("KESTRONA_CONFIG_HOME"); }
    static std::string Value(const char* name) {
        std::string text;
        return CSysRegInfo().GetRegValue(name, text) ? text : std::string("<missing>");
    }

    QTemporaryDir dir;
    kestrona::SettingsModel live;
};

TEST_F(OptionSheetTest, OkAtOnceStoresOnlyTheConnectionPageWithRateThree) {
    Sheet sheet(&live);
    EXPECT_EQ(sheet.windowTitle(), QStringLiteral("设置"));
    EXPECT_EQ(sheet.Tabs()->count(), 7);
    EXPECT_EQ(sheet.Tabs()->tabText(3), QStringLiteral("质量"));
    EXPECT_TRUE(sheet.m_page1.IsCreated());
    EXPECT_FALSE(sheet.m_page2.IsCreated());
    sheet.accept();
    EXPECT_EQ(sheet.result(), QDialog::Accepted);
    EXPECT_EQ(Value("rate"), "3");
    EXPECT_EQ(Value("timeout"), "0");
    EXPECT_EQ(Value("proxy"), "0");
    EXPECT_EQ(Value("proxyaddress"), "");
    EXPECT_EQ(Value("sock5port"), "0");
    EXPECT_EQ(Value("httpport"), "0");
    EXPECT_EQ(Value("fixport"), "<missing>");
    EXPECT_EQ(Value("aatime"), "<missing>");
    EXPECT_EQ(Value("DelayBuffer"), "<missing>");
}

TEST_F(OptionSheetTest, ConnectionPageLoadsStoredValuesAndProxyFieldsFollowTheRadio) {
    CSysRegInfo reg;
    reg.SetRegInt("rate", 1);
    reg.SetRegInt("timeout", 20);
    reg.SetRegInt("proxy", 1);
    reg.SetRegValue("proxyaddress", "10.1.2.3");
    reg.SetRegInt("sock5port", 1080);
    reg.SetRegInt("httpport", -5);
    Sheet sheet(&live);
    CPage1& p = sheet.m_page1;
    EXPECT_EQ(p.m_rate->currentIndex(), 1);
    EXPECT_EQ(p.m_timeout->text(), "20");
    EXPECT_EQ(p.m_address->text(), "10.1.2.3");
    EXPECT_EQ(p.m_http->text(), "0");  // not above 0: left alone
    EXPECT_TRUE(p.m_address->isEnabled());
    p.m_proxyGroup->button(0)->click();
    EXPECT_FALSE(p.m_address->isEnabled());
    EXPECT_FALSE(p.m_password->isEnabled());
    p.m_timeout->setText("30");
    sheet.accept();
    EXPECT_EQ(Value("proxy"), "0");
    EXPECT_EQ(Value("timeout"), "30");
    EXPECT_EQ(Value("rate"), "1");
}

TEST_F(OptionSheetTest, BadNumbersKeepTheSheetOpen) {
    Sheet sheet(&live);
    sheet.m_page1.m_timeout->setText("abc");
    sheet.accept();
    EXPECT_EQ(sheet.told.size(), 1);
    EXPECT_NE(sheet.result(), QDialog::Accepted);
    EXPECT_EQ(Value("rate"), "<missing>");
    // Nor can the page be left.
    EXPECT_FALSE(sheet.SetActivePage(1));
    sheet.m_page1.m_timeout->setText("5");
    ASSERT_TRUE(sheet.SetActivePage(1));
    sheet.m_page2.m_cmd->setText("100000");
    sheet.accept();
    EXPECT_EQ(sheet.told.size(), 3);
    EXPECT_TRUE(sheet.told.last().contains("99999"));
    sheet.m_page2.m_cmd->setText("99999");
    sheet.accept();
    EXPECT_EQ(sheet.result(), QDialog::Accepted);
    EXPECT_EQ(Value("cmdport"), "99999");
}

TEST_F(OptionSheetTest, ProxyTextsLongerThanTheModelTakesAreNotStored) {
    Sheet sheet(&live);
    CPage1& p = sheet.m_page1;
    p.m_address->setText("123.123.123.1234");                   // 16: fits
    p.m_user->setText(QStringLiteral("代理用户名代理用户名"));  // 10 characters, 20 bytes
    sheet.accept();
    ASSERT_EQ(sheet.told.size(), 1);
    EXPECT_TRUE(sheet.told.last().contains("19"));
    EXPECT_NE(sheet.result(), QDialog::Accepted);
    EXPECT_EQ(Value("proxyusername"), "<missing>");

    p.m_user->setText(QStringLiteral("代理用户名代理用户"));  // 18 bytes
    p.m_address->setText("123.123.123.12345");
    EXPECT_FALSE(sheet.SetActivePage(1));
    sheet.accept();
    ASSERT_EQ(sheet.told.size(), 3);
    EXPECT_TRUE(sheet.told.last().contains("16"));
    EXPECT_EQ(Value("proxyaddress"), "<missing>");

    p.m_address->setText("123.123.123.1234");
    p.m_password->setText(QString(20, QLatin1Char('x')));
    sheet.accept();
    ASSERT_EQ(sheet.told.size(), 4);
    EXPECT_EQ(Value("proxypassword"), "<missing>");

    p.m_password->setText(QString(19, QLatin1Char('x')));
    sheet.accept();
    EXPECT_EQ(sheet.told.size(), 4);
    EXPECT_EQ(sheet.result(), QDialog::Accepted);
    EXPECT_EQ(Value("proxyaddress"), "123.123.123.1234");
    EXPECT_EQ(Value("proxypassword"), std::string(19, 'x'));
}

TEST_F(OptionSheetTest, FirewallPortsShowGreyedWithoutFixedPortsAndAreStillStored) {
    CSysRegInfo reg;
    reg.SetRegInt("fixport", 0);
    reg.SetRegInt("cmdport", 4000);
    reg.SetRegInt("aiport", 4001);
    reg.SetRegInt("aoport", 4002);
    Sheet sheet(&live);
    sheet.SetActivePage(1);
    CPage2& p = sheet.m_page2;
    EXPECT_EQ(p.m_cmd->text(), "4000");
    EXPECT_FALSE(p.m_cmd->isEnabled());
    p.m_modeGroup->button(1)->click();
    EXPECT_TRUE(p.m_ao->isEnabled());
    p.m_modeGroup->button(0)->click();
    EXPECT_FALSE(p.m_ao->isEnabled());
    sheet.accept();
    EXPECT_EQ(Value("fixport"), "0");
    EXPECT_EQ(Value("aoport"), "4002");
}

// The router forwarding switch: on without a stored value, stored when
// changed; greyed and shown off while a proxy receives the calls, and the
// stored choice then stays for later.
TEST_F(OptionSheetTest, RouterForwardingSwitchIsOnByDefaultAndLeftAloneUnderAProxy) {
    {
        Sheet sheet(&live);
        sheet.SetActivePage(1);
        CPage2& p = sheet.m_page2;
        EXPECT_TRUE(p.m_mapping->isEnabled());
        EXPECT_TRUE(p.m_mapping->isChecked());
        EXPECT_EQ(p.m_mappingState->text(), QStringLiteral("不可用"));  // no phone runs here
        p.m_mapping->click();
        sheet.accept();
        EXPECT_EQ(Value("portmapping"), "0");
    }
    CSysRegInfo().SetRegInt("proxy", 1);
    CSysRegInfo().SetRegInt("portmapping", 1);
    Sheet sheet(&live);
    sheet.SetActivePage(1);
    CPage2& p = sheet.m_page2;
    EXPECT_FALSE(p.m_mapping->isEnabled());
    EXPECT_FALSE(p.m_mapping->isChecked());
    sheet.accept();
    EXPECT_EQ(Value("portmapping"), "1");
}

TEST_F(OptionSheetTest, AutoAnswerAndQualityPagesUpdateTheRunningProgram) {
    live.m_nDelayBufferMs = 500;
    Sheet sheet(&live);
    sheet.SetActivePage(2);
    sheet.SetActivePage(3);
    sheet.m_page3.m_wait->setText("5");
    sheet.m_page3.m_limit->setText("30");
    sheet.m_page3.m_autoAA->setChecked(true);
    sheet.m_page3.m_forceBreak->setChecked(true);
    // Call notifications: on in a store that never named them.
    EXPECT_TRUE(sheet.m_page3.m_notify->isChecked());
    sheet.m_page3.m_notify->setChecked(false);
    EXPECT_EQ(sheet.m_page4.m_delay->currentIndex(), -1);
    sheet.m_page4.m_delay->setCurrentIndex(3);  // "2 秒"
    EXPECT_FALSE(sheet.m_page4.m_plainCalls->isChecked());
    sheet.m_page4.m_plainCalls->setChecked(true);
    sheet.accept();
    EXPECT_EQ(live.m_nAATime, 5);
    EXPECT_EQ(live.m_nAAFBTime, 30);
    EXPECT_EQ(live.m_nAutoAA, 1);
    EXPECT_EQ(live.m_nForceBreak, 1);
    EXPECT_EQ(live.m_nDelayBufferMs, 2000);
    EXPECT_EQ(Value("DelayBuffer"), "3");
    EXPECT_EQ(live.m_nPlainCalls, 1);
    EXPECT_EQ(Value("plaincalls"), "1");
    EXPECT_EQ(Value("autoaa"), "1");
    EXPECT_EQ(live.m_nNotifications, 0);
    EXPECT_EQ(Value("notifications"), "0");
}

TEST_F(OptionSheetTest, CancelStoresNothingAndNoSelectionKeepsTheDelay) {
    live.m_nDelayBufferMs = 500;
    {
        Sheet sheet(&live);
        sheet.SetActivePage(3);
        sheet.reject();
    }
    EXPECT_EQ(Value("rate"), "<missing>");
    Sheet sheet(&live);
    sheet.SetActivePage(3);
    sheet.accept();
    EXPECT_EQ(live.m_nDelayBufferMs, 500);
}

TEST_F(OptionSheetTest, AboutPageHidesThePurchaseButton) {
    Sheet sheet(&live);
    sheet.SetActivePage(4);
    auto* buy = sheet.m_page5.findChild<QPushButton*>("1044");
    ASSERT_NE(buy, nullptr);
    EXPECT_TRUE(buy->isHidden());
    EXPECT_EQ(sheet.m_page5.findChild<QPushButton*>("1043")->text(),
              QStringLiteral("Kestrona 站点"));
}

// The site's server (system-wide file) shows beneath the user's own; a
// first start leaves it to the site; the user's choice on the general page
// wins over it, and "automatic" removes the user's language.
TEST_F(OptionSheetTest, GeneralPageSetsServerAndLanguageOverTheSitesDefaults) {
    QTemporaryDir site;
    ASSERT_TRUE(QDir().mkpath(site.path() + QStringLiteral("/Ostravine")));
    {
        QFile file(site.path() + QStringLiteral("/Ostravine/Kestrona.conf"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("Host=dir.example.org\nHostPort=4000\nLanguage=en\nHostTls=1\n");
    }
    qputenv("XDG_CONFIG_DIRS", (QStringLiteral("relative:") + site.path()).toUtf8());
    CSysRegInfo().InitRegKeys();
    EXPECT_EQ(Value("Host"), "dir.example.org");
    EXPECT_EQ(Value("HostPort"), "4000");
    EXPECT_EQ(Value("timeout"), "20");  // what the site leaves out is the user's default

    Sheet sheet(&live);
    sheet.SetActivePage(6);
    EXPECT_EQ(sheet.m_page7.m_host->text(), QStringLiteral("dir.example.org"));
    EXPECT_EQ(sheet.m_page7.m_port->text(), QStringLiteral("4000"));
    EXPECT_EQ(sheet.m_page7.m_language->currentIndex(), 2);
    EXPECT_TRUE(sheet.m_page7.m_tls->isChecked());
    EXPECT_TRUE(sheet.m_page7.m_tlsPin->isEnabled());
    sheet.m_page7.m_port->setText(QStringLiteral("70000"));
    sheet.accept();
    EXPECT_EQ(sheet.result(), QDialog::Rejected);  // the port is out of range: the page stays
    EXPECT_EQ(sheet.told.size(), 1);
    sheet.m_page7.m_host->setText(QStringLiteral(" my.server "));
    sheet.m_page7.m_port->setText(QStringLiteral("10005"));
    sheet.m_page7.m_language->setCurrentIndex(0);
    // A fingerprint is 32 bytes of hex; as typed it may have colons and capitals.
    sheet.m_page7.m_tlsPin->setText(QStringLiteral("AB:CD"));
    sheet.accept();
    EXPECT_EQ(sheet.result(), QDialog::Rejected);
    EXPECT_EQ(sheet.told.size(), 2);
    QString pin;
    for (int i = 0; i < 32; ++i)
        pin += (i ? QStringLiteral(":") : QString()) + QStringLiteral("A%1").arg(i % 10);
    sheet.m_page7.m_tlsPin->setText(pin);
    sheet.accept();
    EXPECT_EQ(sheet.result(), QDialog::Accepted);
    EXPECT_EQ(Value("HostTlsPin"), pin.remove(QLatin1Char(':')).toLower().toStdString());
    EXPECT_EQ(Value("Host"), "my.server");
    EXPECT_EQ(Value("HostPort"), "10005");
    EXPECT_EQ(Value("Language"), "en");  // the site's, now that the user has none
    qunsetenv("XDG_CONFIG_DIRS");
    EXPECT_EQ(Value("Language"), "<missing>");
    // Left as the site had it, TLS is not made the user's own value.
    EXPECT_EQ(Value("HostTls"), "<missing>");

    // Empty fields (nothing stored anywhere) do not hold the sheet.
    QTemporaryDir empty;
    qputenv("KESTRONA_CONFIG_HOME", empty.path().toUtf8());
    Sheet fresh(&live);
    fresh.SetActivePage(6);
    fresh.SetActivePage(0);
    EXPECT_TRUE(fresh.told.isEmpty());
    qputenv("KESTRONA_CONFIG_HOME", dir.path().toUtf8());
}

// Appearing offline is stored, reaches the running phone's settings at
// once and is what the next start loads.
TEST_F(OptionSheetTest, AppearOfflineIsStoredAndTakenAtOnce) {
    {
        Sheet sheet(&live);
        sheet.SetActivePage(6);
        EXPECT_FALSE(sheet.m_page7.m_appearOffline->isChecked());
        sheet.accept();
        EXPECT_EQ(Value("appearoffline"), "<missing>");  // unchanged: nothing of the user's own
    }
    Sheet sheet(&live);
    sheet.SetActivePage(6);
    sheet.m_page7.m_appearOffline->setChecked(true);
    sheet.accept();
    ASSERT_EQ(sheet.result(), QDialog::Accepted);
    EXPECT_EQ(Value("appearoffline"), "1");
    EXPECT_EQ(live.m_nAppearOffline, 1);
    kestrona::SettingsModel next;
    CSysRegInfo store;
    kestrona::LoadSettingsModel(next, store);
    EXPECT_EQ(next.m_nAppearOffline, 1);
    Sheet again(&live);
    again.SetActivePage(6);
    EXPECT_TRUE(again.m_page7.m_appearOffline->isChecked());
}

}  // namespace
