#include "settings/settings_model.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/temp_dir.h"
#include "settings/sys_reg_info.h"

namespace kestrona {
namespace {

using testing::ConfigHome;

// As the start-up does: defaults once per installation, then the load. The
// overrides stay in the store for the next call.
SettingsModel LoadAfterDefaults(
    std::initializer_list<std::pair<const char*, const char*>> overrides) {
    CSysRegInfo reg;
    if (reg.GetRegInt("Version") != 1) {
        reg.InitRegKeys(nullptr);
    }
    for (const auto& [name, text] : overrides) {
        EXPECT_TRUE(reg.SetRegValue(name, text));
    }
    SettingsModel model;
    LoadSettingsModel(model, reg);
    return model;
}

TEST(SettingsModelTest, FirstStartLoadsTheDefaults) {
    ConfigHome home;
    const SettingsModel m = LoadAfterDefaults({});
    EXPECT_EQ(m.m_nID, 0);  // set by the login, not here
    EXPECT_STREQ(m.m_szProxyAddress, "127.0.0.1");
    EXPECT_STREQ(m.m_szProxyUser, "-");
    EXPECT_STREQ(m.m_szProxyPassword, "-");
    EXPECT_EQ(m.m_nRate, 0);
    EXPECT_EQ(m.m_nTimeout, 20);
    EXPECT_EQ(m.m_nProxy, 0);
    EXPECT_EQ(m.m_nDelayBufferMs, 1000);
    EXPECT_EQ(m.m_nSock5Port, 1080);
    EXPECT_EQ(m.m_nHttpPort, 80);
    EXPECT_EQ(m.m_nFixPort, 0);
    EXPECT_EQ(m.m_nAutoAA, 1);
    EXPECT_EQ(m.m_nAATime, 60);
    EXPECT_EQ(m.m_nForceBreak, 0);
    EXPECT_EQ(m.m_nAAFBTime, 300);
}

TEST(SettingsModelTest, RejectedValuesLeaveZero) {
    ConfigHome home;
    EXPECT_EQ(LoadAfterDefaults({{"timeout", "0"}}).m_nTimeout, 0);
    EXPECT_EQ(LoadAfterDefaults({{"rate", "abc"}}).m_nRate, 0);
    EXPECT_EQ(LoadAfterDefaults({{"rate", "4"}}).m_nRate, 4);
    EXPECT_EQ(LoadAfterDefaults({{"sock5port", "-5"}}).m_nSock5Port, 0);

    const int delays[] = {250, 500, 1000, 2000, 3000, 4000, 5000};
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(LoadAfterDefaults({{"DelayBuffer", std::to_string(i).c_str()}}).m_nDelayBufferMs,
                  delays[i]);
    }
    EXPECT_EQ(LoadAfterDefaults({{"DelayBuffer", "7"}}).m_nDelayBufferMs, 0);
    EXPECT_EQ(LoadAfterDefaults({{"DelayBuffer", "-1"}}).m_nDelayBufferMs, 0);
}

TEST(SettingsModelTest, FixedPortsOnlyWithFixportOne) {
    ConfigHome home;
    SettingsModel m = LoadAfterDefaults(
        {{"fixport", "0"}, {"cmdport", "5000"}, {"aiport", "5001"}, {"aoport", "5002"}});
    EXPECT_EQ(m.m_nCmdPort, 0);
    EXPECT_EQ(m.m_nAiPort, 0);
    EXPECT_EQ(m.m_nAoPort, 0);

    m = LoadAfterDefaults({{"fixport", "1"}});
    EXPECT_EQ(m.m_nFixPort, 1);
    EXPECT_EQ(m.m_nCmdPort, 5000);
    EXPECT_EQ(m.m_nAiPort, 5001);
    EXPECT_EQ(m.m_nAoPort, 5002);

    m = LoadAfterDefaults({{"fixport", "2"}});
    EXPECT_EQ(m.m_nFixPort, 2);
    EXPECT_EQ(m.m_nCmdPort, 0);
}

TEST(SettingsModelTest, LoadClearsTheConnectionPartOnly) {
    ConfigHome home;
    CSysRegInfo reg;
    reg.InitRegKeys(nullptr);
    for (const char* name : {"proxyaddress", "sock5port", "autoaa", "aatime"}) {
        reg.DeleteKey(name);
    }
    ASSERT_TRUE(reg.SetRegValue("proxyusername", "a-very-long-user-name-indeed"));

    SettingsModel m;
    std::strcpy(m.m_szProxyAddress, "stale");
    m.m_nSock5Port = 99;
    m.m_nAutoAA = 1;  // set live by the auto-answer page; not part of the cleared run
    m.m_nAATime = 15;
    LoadSettingsModel(m, reg);
    EXPECT_STREQ(m.m_szProxyAddress, "");
    EXPECT_EQ(m.m_nSock5Port, 0);
    EXPECT_EQ(m.m_nAutoAA, 1);
    EXPECT_EQ(m.m_nAATime, 15);
    EXPECT_STREQ(m.m_szProxyUser, "a-very-long-user-na");  // 19 characters
}

}  // namespace
}  // namespace kestrona
