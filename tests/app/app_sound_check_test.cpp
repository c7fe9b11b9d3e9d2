// The sound check's messages: each choice of devices that is missing is told
// once, however many directions the backend reports it for.
#include <gtest/gtest.h>

#include <future>
#include <vector>

#include "app/sound_check.h"
#include "support/no_device_backend.h"

using namespace kestrona;

namespace {

class NoticeBackend : public test::NoDeviceBackend {
  public:
    NoticeBackend() : NoDeviceBackend("notice") {}
    bool Probe() override {
        probed.set_value();
        return true;
    }
    void Missing(AudioDirection direction) { Notify(AudioNotice::kChosenDeviceMissing, direction); }

    std::promise<void> probed;
};

struct Boxes : IMessageBox {
    int ShowMessage(int id) override {
        shown.push_back(id);
        return 1;
    }
    int ShowText(const std::string&) override { return 1; }
    std::vector<int> shown;
};

}  // namespace

TEST(SoundCheck, AMissingChoiceIsToldOnceForBothDirections) {
    auto backend = std::make_shared<NoticeBackend>();
    auto probed = backend->probed.get_future();
    Boxes boxes;
    CSoundCheck check(boxes, backend);
    probed.wait();  // the notices reach the check from here on

    backend->SelectDevice(AudioDirection::kInput, "usb-mic");
    backend->SelectDevice(AudioDirection::kOutput, "usb-speaker");
    backend->Missing(AudioDirection::kInput);
    backend->Missing(AudioDirection::kOutput);
    EXPECT_EQ(boxes.shown, std::vector<int>{kStrSoundDeviceMissing});

    backend->SelectDevice(AudioDirection::kOutput, "hdmi");
    backend->Missing(AudioDirection::kOutput);
    EXPECT_EQ(boxes.shown, (std::vector<int>{kStrSoundDeviceMissing, kStrSoundDeviceMissing}));
}

// The stored choice reaches the backend at start, before anything can play
// (a ring before the first call opens its device through the same backend).
TEST(SoundCheck, TheStoredChoiceIsWithTheBackendBeforeItIsProbed) {
    auto backend = std::make_shared<NoticeBackend>();
    auto probed = backend->probed.get_future();
    Boxes boxes;
    CSoundCheck check(boxes, backend, "usb-mic", "usb-speaker");
    probed.wait();
    EXPECT_EQ(backend->SelectedDevice(AudioDirection::kInput), "usb-mic");
    EXPECT_EQ(backend->SelectedDevice(AudioDirection::kOutput), "usb-speaker");
}
