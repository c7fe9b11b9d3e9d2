// The common ground of the whole-call tests: a directory server and two
// voices, the speech and the same speech backwards, so that each side's
// voice can be told apart in the other's loudspeaker.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "e2e/e2e_rig.h"
#include "platform/temp_dir.h"

namespace kestrona::e2e {

class CallFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        server = std::make_unique<ServerProcess>(dir.path());
        ASSERT_TRUE(server->Start()) << server->Log();
        speech = SourceDir() / "tests" / "data" / "speech_8k.wav";
        reversed = dir.path() / "reversed_8k.wav";
        std::string error;
        ASSERT_TRUE(WriteReversedSpeech(speech, reversed, error)) << error;
    }

    // What a failure shows besides the phones' own output.
    virtual std::string Logs() const { return "\n--- server\n" + server->Log(); }

    // A registered phone in its own folder under the test's.
    std::unique_ptr<Phone> MakePhone(const std::string& name, const std::filesystem::path& mic,
                                     std::map<std::string, std::string> settings = {}) {
        auto phone =
            std::make_unique<Phone>(dir.path() / name, server->Port(), mic, std::move(settings));
        EXPECT_TRUE(phone->Register(name)) << phone->Output() << Logs();
        return phone;
    }

    kestrona::testing::TempDir dir;
    std::unique_ptr<ServerProcess> server;
    std::filesystem::path speech;
    std::filesystem::path reversed;
};

}  // namespace kestrona::e2e
