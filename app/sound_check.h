// Asks, off the UI thread, whether the sound system answers, and tells the
// user once when it does not; afterwards tells them once for each choice of
// devices that is missing (the default is used instead). The phone works on
// without sound: calls connect, and sound comes when a server does.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "net/message_box.h"
#include "platform/audio_backend.h"

namespace kestrona {

// String-table entries of the two messages.
inline constexpr int kStrNoSoundServer = 180;
inline constexpr int kStrSoundDeviceMissing = 181;

class CSoundCheck {
  public:
    // backend null: the process's backend (made on the worker thread, since
    // choosing it asks the sound server). input, output: the chosen devices
    // ("" for the default), handed to the backend first, so that every
    // sound from then on (a ring before the first call too) uses them.
    CSoundCheck(IMessageBox& messages, std::shared_ptr<AudioBackend> backend = nullptr,
                std::string input = {}, std::string output = {});
    ~CSoundCheck();
    CSoundCheck(const CSoundCheck&) = delete;
    CSoundCheck& operator=(const CSoundCheck&) = delete;

  private:
    // True, once, for each choice of devices in a row that is missing.
    bool NewChoice(const std::string& choice);

    IMessageBox& m_messages;
    std::shared_ptr<AudioBackend> m_backend;
    std::thread m_worker;
    std::mutex m_choiceMutex;
    bool m_bToldChoice = false;
    std::string m_strToldChoice;
};

}  // namespace kestrona
