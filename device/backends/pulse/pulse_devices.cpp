// The server's sinks or sources by name and description, the default marked: a connection of
// its own for the listing, given up on as quickly as a device's.
#include <cstdio>
#include <string>
#include <vector>

#include "backends/pulse/pulse_stream.h"

namespace quorvel::device::detail {
namespace {

struct Listing {
    pa_threaded_mainloop* loop = nullptr;
    std::vector<NamedDevice> devices;
    std::string defaultSink;
    std::string defaultSource;
    int pending = 0;  // operations not yet finished
};

void Finished(Listing* listing) {
    --listing->pending;
    pa_threaded_mainloop_signal(listing->loop, 0);
}

template <typename Info>
void OnDevice(pa_context* /*context*/, const Info* info, int last, void* self) {
    auto* listing = static_cast<Listing*>(self);
    if (last != 0 || info == nullptr) return Finished(listing);
    listing->devices.push_back(
        {info->name, info->description != nullptr ? info->description : info->name, false});
}

void OnDefaults(pa_context* /*context*/, const pa_server_info* info, void* self) {
    auto* listing = static_cast<Listing*>(self);
    if (info != nullptr) {
        if (info->default_sink_name != nullptr) listing->defaultSink = info->default_sink_name;
        if (info->default_source_name != nullptr) {
            listing->defaultSource = info->default_source_name;
        }
    }
    Finished(listing);
}

}  // namespace

std::vector<NamedDevice> ListPulseDevices(Direction direction) {
    PulseConnection connection;
    Listing listing;
    std::string problem;
    if (connection.Connect("QuorvelWaveForm device list", nullptr, &problem)) {
        const PulseConnection::Locked lock(connection);
        pa_context* const context = connection.context();
        listing.loop = connection.loop();
        listing.pending = 2;
        pa_operation* operations[] = {
            pa_context_get_server_info(context, &OnDefaults, &listing),
            direction == Direction::kOutput
                ? pa_context_get_sink_info_list(context, &OnDevice<pa_sink_info>, &listing)
                : pa_context_get_source_info_list(context, &OnDevice<pa_source_info>, &listing)};
        for (pa_operation* operation : operations) {
            if (operation == nullptr) --listing.pending;
        }
        connection.WaitFor(
            [&] {
                return listing.pending == 0 || pa_context_get_state(context) != PA_CONTEXT_READY;
            },
            kPulseAnswerLimit);
        for (pa_operation* operation : operations) {
            if (operation == nullptr) continue;
            // Cancelled so that no callback reaches what this function is about to free.
            if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) {
                pa_operation_cancel(operation);
            }
            pa_operation_unref(operation);
        }
        if (listing.pending > 0) listing.devices.clear();  // cut short: say nothing half
    }
    if (connection.timedOut()) {
        std::fprintf(stderr,
                     "QuorvelDevice: the PulseAudio sound server did not answer within 2 s "
                     "while listing its devices, and is given up.\n");
    }
    const std::string& defaultName =
        direction == Direction::kOutput ? listing.defaultSink : listing.defaultSource;
    for (NamedDevice& device : listing.devices) device.isDefault = device.name == defaultName;
    return listing.devices;
}

}  // namespace quorvel::device::detail
