#include "app/sound_check.h"

namespace kestrona {

CSoundCheck::CSoundCheck(IMessageBox& messages, std::shared_ptr<AudioBackend> backend)
    : m_messages(messages), m_backend(std::move(backend)) {
    m_worker = std::thread([this] {
        if (!m_backend)
            m_backend = ProcessAudioBackend();
        m_backend->SetNoticeCallback([this](AudioNotice notice, AudioDirection) {
            // The backend says each of these once; the box is queued to the
            // UI thread.
            m_messages.ShowMessage(notice == AudioNotice::kServerUnavailable
                                       ? kStrNoSoundServer
                                       : kStrSoundDeviceMissing);
        });
        m_backend->Probe();
    });
}

CSoundCheck::~CSoundCheck() {
    if (m_worker.joinable())
        m_worker.join();
    // The backend lives on with the process; the box does not.
    if (m_backend)
        m_backend->SetNoticeCallback(nullptr);
}

}  // namespace kestrona
