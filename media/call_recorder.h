// The call's recording files: raw 16-bit PCM at the call's rate, appended
// block by block to "record/" + stem + "in" (what was heard) and + "out"
// (what was said) under a root folder. Used from the send and receive
// threads while the stem may change.
#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>

namespace kestrona {

class CallRecorder {
  public:
    // The folder under which "record/" is looked for (default: the current one).
    void SetRoot(std::filesystem::path root);
    // The name stem of the files from now on; a later stem replaces it.
    void Start(const std::string& stem);
    // Appends n bytes to the file of the current stem with the suffix
    // ("in" or "out"), creating it when it is missing. Without a "record/"
    // folder nothing is written and the call goes on.
    void Append(const char* suffix, const uint8_t* data, int n);

  private:
    std::mutex m_mutex;
    std::filesystem::path m_root;
    std::string m_stem;
};

}  // namespace kestrona
