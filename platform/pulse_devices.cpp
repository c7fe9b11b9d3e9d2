// The devices a PulseAudio server offers, the default one first.
#include "platform/pulse_devices.h"

namespace kestrona::pulse {
namespace {

// Lists the default device first.
void AddDevice(std::vector<AudioDeviceInfo>& devices, const std::string& defaultName,
               const char* name, const char* description) {
    if (!name)
        return;
    AudioDeviceInfo d{name, description && *description ? description : name, defaultName == name};
    if (d.isDefault)
        devices.insert(devices.begin(), std::move(d));
    else
        devices.push_back(std::move(d));
}

}  // namespace

std::vector<AudioDeviceInfo> ListDevices(PulseLink& link, AudioDirection direction) {
    if (!link.Usable())
        return {};
    struct Listing {
        PulseLink* link;
        AudioDirection direction;
        std::string defaultName;
        std::vector<AudioDeviceInfo> devices;
    } listing{&link, direction, {}, {}};
    std::lock_guard lock(link);
    if (pa_context* c = link.Ready(true)) {
        pa_operation* op = pa_context_get_server_info(
            c,
            [](pa_context*, const pa_server_info* i, void* p) {
                auto* l = static_cast<Listing*>(p);
                const char* name = !i                                       ? nullptr
                                   : l->direction == AudioDirection::kInput ? i->default_source_name
                                                                            : i->default_sink_name;
                if (name)
                    l->defaultName = name;
                PulseLink::Signal(l->link);
            },
            &listing);
        link.Finish(op, 1000ms);
        if (direction == AudioDirection::kInput) {
            op = pa_context_get_source_info_list(
                c,
                [](pa_context*, const pa_source_info* i, int eol, void* p) {
                    auto* l = static_cast<Listing*>(p);
                    // A sink's monitor is not a microphone.
                    if (eol == 0 && i && i->monitor_of_sink == PA_INVALID_INDEX)
                        AddDevice(l->devices, l->defaultName, i->name, i->description);
                    if (eol != 0)
                        PulseLink::Signal(l->link);
                },
                &listing);
        } else {
            op = pa_context_get_sink_info_list(
                c,
                [](pa_context*, const pa_sink_info* i, int eol, void* p) {
                    auto* l = static_cast<Listing*>(p);
                    if (eol == 0 && i)
                        AddDevice(l->devices, l->defaultName, i->name, i->description);
                    if (eol != 0)
                        PulseLink::Signal(l->link);
                },
                &listing);
        }
        link.Finish(op, 1000ms);
    }
    return listing.devices;
}

}  // namespace kestrona::pulse
