// The sound page against a backend with two loudspeakers and a headset
// microphone: human names with the default first, the choice kept as new
// settings values (older files without them mean the default), a kept device
// that is unplugged now, the test sound on the device shown, and echo
// control left automatic unless turned off.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QTemporaryDir>
#include <chrono>
#include <thread>

#include "settings/settings_model.h"
#include "settings/sys_reg_info.h"
#include "support/no_device_backend.h"
#include "ui/pages.h"

using namespace kestrona;

namespace {

class TwoSpeakers : public test::NoDeviceBackend {
  public:
    TwoSpeakers() : NoDeviceBackend("fake") {}
    std::vector<AudioDeviceInfo> ListDevices(AudioDirection d) override {
        if (d == AudioDirection::kInput)
            return {{"mic.builtin", "Built-in Microphone", true},
                    {"mic.usb", "USB Headset", false}};
        return {{"spk.builtin", "Built-in Speakers", true}, {"spk.usb", "USB Headset", false}};
    }
    std::unique_ptr<WaveOutDevice> OpenWaveOutById(const std::string& id, const WaveFormat& f,
                                                   WaveDoneCallback done, WaveResult* r,
                                                   std::string* e) override {
        opened.push_back(id);
        return m_file->OpenWaveOut(f, std::move(done), r, e);
    }

    std::vector<std::string> opened;

  private:
    std::shared_ptr<AudioBackend> m_file = MakeFileAudioBackend("", "");
};

class SoundPageTest : public ::testing::Test {
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
    std::unique_ptr<CPage6> OpenPage() {
        auto page = std::make_unique<CPage6>(&live, backend);
        page->EnsureCreated();
        for (int i = 0; i < 500 && !page->DevicesListed(); ++i) {
            QCoreApplication::processEvents();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_TRUE(page->DevicesListed());
        return page;
    }
    static void Ok(CPage6& page) {
        QString message;
        QWidget* field = nullptr;
        ASSERT_TRUE(page.Validate(message, field));
        page.OnOK();
    }

    QTemporaryDir dir;
    SettingsModel live;
    std::shared_ptr<TwoSpeakers> backend = std::make_shared<TwoSpeakers>();
};

TEST_F(SoundPageTest, DevicesByNameDefaultFirstAndTheChoiceIsKept) {
    // A settings file from before this page: the defaults, echo automatic.
    CSysRegInfo().SetRegInt("DelayBuffer", 1);
    {
        auto page = OpenPage();
        ASSERT_EQ(page->m_output->count(), 3);
        EXPECT_EQ(page->m_output->itemText(0), QStringLiteral("系统默认设备"));
        EXPECT_EQ(page->m_output->itemText(1), QStringLiteral("Built-in Speakers"));
        EXPECT_EQ(page->m_output->itemText(2), QStringLiteral("USB Headset"));
        EXPECT_EQ(page->m_output->currentIndex(), 0);
        EXPECT_EQ(page->m_input->currentIndex(), 0);
        EXPECT_TRUE(page->m_echo->isChecked());
        page->m_output->setCurrentIndex(2);
        page->m_input->setCurrentIndex(2);
        Ok(*page);
    }
    EXPECT_EQ(Value(kRegWaveOut), "spk.usb");
    EXPECT_EQ(Value(kRegWaveIn), "mic.usb");
    EXPECT_EQ(Value(kRegEchoCancel), "<missing>");  // still automatic
    EXPECT_EQ(live.m_strWaveOut, "spk.usb");
    EXPECT_EQ(live.m_nEchoCancel, -1);

    // Reopened: the headset is chosen; unplugged, it stays the choice.
    {
        auto page = OpenPage();
        EXPECT_EQ(page->m_output->currentText(), QStringLiteral("USB Headset"));
        page->m_echo->setChecked(false);
        Ok(*page);
    }
    EXPECT_EQ(Value(kRegEchoCancel), "0");
    CSysRegInfo().SetRegValue(kRegWaveOut, "spk.gone");
    {
        auto page = OpenPage();
        EXPECT_EQ(page->m_output->count(), 4);
        EXPECT_TRUE(page->m_output->currentText().startsWith(QStringLiteral("spk.gone")));
        EXPECT_FALSE(page->m_echo->isChecked());
        Ok(*page);
    }
    EXPECT_EQ(Value(kRegWaveOut), "spk.gone");
    EXPECT_EQ(Value(kRegEchoCancel), "0");
    SettingsModel loaded;
    LoadSettingsModel(loaded, CSysRegInfo());
    EXPECT_EQ(loaded.m_strWaveOut, "spk.gone");
    EXPECT_EQ(loaded.m_nEchoCancel, 0);
}

TEST_F(SoundPageTest, TestSoundPlaysOnTheDeviceShown) {
    auto page = OpenPage();
    page->m_output->setCurrentIndex(2);
    page->m_test->click();
    page->m_output->setCurrentIndex(0);
    page->m_test->click();
    // The devices open in the background, in the order asked for.
    for (int i = 0; i < 500 && page->TestSoundsAnswered() < 2; ++i) {
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(page->TestSoundsAnswered(), 2);
    EXPECT_EQ(backend->opened, (std::vector<std::string>{"spk.usb", ""}));
    EXPECT_TRUE(page->m_status->text().isEmpty());
}

// The levels are heard as they are moved (the running call follows the live
// model), are kept by OK, and go back to what they were when the sheet is
// cancelled. The sliders say their values to screen readers.
TEST_F(SoundPageTest, LevelsCountAtOnceAndACancelTakesThemBack) {
    CSysRegInfo().SetRegInt(kRegSpeakerLevel, 80);
    CSysRegInfo().SetRegInt(kRegRingLevel, 500);  // not one of ours: the default
    {
        auto page = OpenPage();
        EXPECT_EQ(page->m_speakerLevel->value(), 80);
        EXPECT_EQ(page->m_ringLevel->value(), kDefaultLevel);
        int changes = 0;
        QObject::connect(page.get(), &CPage6::levelsChanged, [&] { ++changes; });
        page->m_micLevel->setValue(150);
        EXPECT_EQ(live.m_nMicLevel, 150);
        EXPECT_EQ(changes, 1);
        EXPECT_EQ(page->m_micLevel->accessibleDescription(), QStringLiteral("150 %"));
    }
    EXPECT_EQ(live.m_nMicLevel, kDefaultLevel);  // cancelled
    EXPECT_EQ(Value(kRegMicLevel), "<missing>");
    {
        auto page = OpenPage();
        page->m_micLevel->setValue(40);
        page->m_ringLevel->setValue(30);
        Ok(*page);
    }
    EXPECT_EQ(live.m_nMicLevel, 40);
    EXPECT_EQ(Value(kRegMicLevel), "40");
    EXPECT_EQ(Value(kRegSpeakerLevel), "80");
    EXPECT_EQ(Value(kRegRingLevel), "30");
}

}  // namespace
