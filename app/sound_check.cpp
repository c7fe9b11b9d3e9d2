#include "app/sound_check.h"

namespace kestrona {

CSoundCheck::CSoundCheck(IMessageBox& messages, std::shared_ptr<AudioBackend> backend,
                         std::string input, std::string output)
    : m_messages(messages), m_backend(std::move(backend)) {
    m_worker = std::thread([this, input = std::move(input), output = std::move(output)] {
        if (!m_backend)
            m_backend = ProcessAudioBackend();
        m_backend->SelectDevice(AudioDirection::kInput, input);
        m_backend->SelectDevice(AudioDirection::kOutput, output);
        AudioBackend* backend = m_backend.get();
        m_backend->SetNoticeCallback([this, backend](AudioNotice notice, AudioDirection) {
            // The backend says each of these once per direction and device;
            // the user made one choice of devices and hears of it once. The
            // box is queued to the UI thread.
            if (notice == AudioNotice::kChosenDeviceMissing &&
                !NewChoice(backend->SelectedDevice(AudioDirection::kInput) + '\n' +
                           backend->SelectedDevice(AudioDirection::kOutput))) {
                return;
            }
            m_messages.ShowMessage(notice == AudioNotice::kServerUnavailable
                                       ? kStrNoSoundServer
                                       : kStrSoundDeviceMissing);
        });
        m_backend->Probe();
    });
}

bool CSoundCheck::NewChoice(const std::string& choice) {
    std::lock_guard lock(m_choiceMutex);
    if (m_bToldChoice && m_strToldChoice == choice) {
        return false;
    }
    m_bToldChoice = true;
    m_strToldChoice = choice;
    return true;
}

CSoundCheck::~CSoundCheck() {
    if (m_worker.joinable())
        m_worker.join();
    // The backend lives on with the process; the box does not.
    if (m_backend)
        m_backend->SetNoticeCallback(nullptr);
}

}  // namespace kestrona
