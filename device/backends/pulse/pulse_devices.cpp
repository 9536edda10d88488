// The server's sinks or sources by name and description, the default marked: a connection of
// its own for the listing, given up on as quickly as a device's.
#include <cstdio>
#include <string>
#include <vector>

#include "backends/pulse/pulse_stream.h"

namespace quorvel::device::detail {
namespace {

struct Listing {
    Direction direction = Direction::kOutput;
    pa_threaded_mainloop* loop = nullptr;
    std::vector<NamedDevice> devices;
    std::string defaultName;
    int pending = 2;  // operations not yet finished
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
    const char* name = info == nullptr                            ? nullptr
                       : listing->direction == Direction::kOutput ? info->default_sink_name
                                                                  : info->default_source_name;
    if (name != nullptr) listing->defaultName = name;
    Finished(listing);
}

// Asks the connected server for its default and its devices, and waits for both answers.
void Collect(PulseStream& connection, Listing* listing) {
    const PulseStream::Locked lock(connection);
    pa_context* const context = connection.context();
    listing->loop = connection.loop();
    pa_operation* operations[] = {
        pa_context_get_server_info(context, &OnDefaults, listing),
        listing->direction == Direction::kOutput
            ? pa_context_get_sink_info_list(context, &OnDevice<pa_sink_info>, listing)
            : pa_context_get_source_info_list(context, &OnDevice<pa_source_info>, listing)};
    for (pa_operation* operation : operations) {
        if (operation == nullptr) --listing->pending;
    }
    connection.WaitFor(
        [&] { return listing->pending == 0 || pa_context_get_state(context) != PA_CONTEXT_READY; },
        kPulseAnswerLimit);
    for (pa_operation* operation : operations) {
        if (operation == nullptr) continue;
        // Cancelled so that no callback reaches what this function is about to free.
        if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) {
            pa_operation_cancel(operation);
        }
        pa_operation_unref(operation);
    }
}

}  // namespace

std::vector<NamedDevice> ListPulseDevices(Direction direction) {
    PulseStream connection;
    Listing listing;
    listing.direction = direction;
    std::string problem;
    if (connection.Connect("QuorvelWaveForm device list", &problem)) Collect(connection, &listing);
    if (connection.timedOut()) {
        std::fprintf(stderr,
                     "QuorvelDevice: the PulseAudio sound server did not answer within 2 s "
                     "while listing its devices, and is given up.\n");
    }
    if (listing.pending > 0) return {};  // not connected, or cut short: say nothing half
    for (NamedDevice& device : listing.devices)
        device.isDefault = device.name == listing.defaultName;
    return listing.devices;
}

}  // namespace quorvel::device::detail
