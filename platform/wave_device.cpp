#include "platform/wave_device.h"

namespace kestrona {

bool IsSupportedWaveFormat(const WaveFormat& f) {
    return f.formatTag == 1 && f.channels == 1 && f.bitsPerSample == 16 && f.blockAlign == 2 &&
           f.samplesPerSec >= kMinWaveRate && f.samplesPerSec <= kMaxWaveRate &&
           f.avgBytesPerSec == 2 * f.samplesPerSec;
}

const char* WaveResultText(WaveResult r) {
    switch (r) {
        case WaveResult::kOk:
            return "no error";
        case WaveResult::kNoDevice:
            return "no such wave device";
        case WaveResult::kBadFormat:
            return "the device does not accept this wave format";
        case WaveResult::kOpenFailed:
            return "the wave device could not be opened";
        case WaveResult::kNotPrepared:
            return "the buffer is not prepared";
        case WaveResult::kStillPlaying:
            return "buffers are still queued";
        case WaveResult::kInvalidHandle:
            return "the wave device is closed";
        case WaveResult::kInvalidArg:
            return "invalid buffer";
    }
    return "unknown wave error";
}

void WaveEventSource::SetEventCallback(WaveEventCallback callback) {
    std::lock_guard lock(m_eventMutex);
    m_event = std::move(callback);
}

void WaveEventSource::Emit(WaveDeviceEvent event) {
    std::lock_guard lock(m_eventMutex);
    if (m_event)
        m_event(event);
}

namespace {
WaveResult PrepareHeader(WaveHeader& h) {
    if (h.data == nullptr || h.bufferLength == 0)
        return WaveResult::kInvalidArg;
    h.flags |= WaveHeader::kPrepared;
    return WaveResult::kOk;
}
WaveResult UnprepareHeader(WaveHeader& h) {
    if (h.flags & WaveHeader::kInQueue)
        return WaveResult::kStillPlaying;
    h.flags &= ~WaveHeader::kPrepared;
    return WaveResult::kOk;
}
}  // namespace

WaveResult WaveInDevice::Prepare(WaveHeader& h) {
    return PrepareHeader(h);
}
WaveResult WaveInDevice::Unprepare(WaveHeader& h) {
    return UnprepareHeader(h);
}
WaveResult WaveOutDevice::Prepare(WaveHeader& h) {
    return PrepareHeader(h);
}
WaveResult WaveOutDevice::Unprepare(WaveHeader& h) {
    return UnprepareHeader(h);
}

}  // namespace kestrona
