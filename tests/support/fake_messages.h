// A message box that shows nothing and records what it was asked to show.
#pragma once

#include <string>
#include <vector>

#include "net/message_box.h"

namespace kestrona::test {

class FakeMessages : public IMessageBox {
  public:
    int ShowMessage(int stringId) override {
        ids.push_back(stringId);
        return 1;
    }
    int ShowText(const std::string& utf8) override {
        texts.push_back(utf8);
        return 1;
    }
    std::vector<int> ids;
    std::vector<std::string> texts;
};

}  // namespace kestrona::test
