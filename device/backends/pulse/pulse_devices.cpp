// The server's sinks or sources by name and description, the default marked: a connection of
// its own for the listing, given up on as quickly as a device's.
#include <sys/time.h>

#include <cstdio>
#include <string>
#include <vector>

#include "backends/pulse/pulse_stream.h"

namespace quorvel::device::detail {
namespace {

constexpr pa_usec_t kListLimit = 2000 * PA_USEC_PER_MSEC;

struct Listing {
    pa_threaded_mainloop* loop = nullptr;
    std::vector<NamedDevice> devices;
    int pending = 0;  // operations not yet finished
    bool timedOut = false;
};

void Signal(Listing* listing) {
    pa_threaded_mainloop_signal(listing->loop, 0);
}

void OnContextState(pa_context* /*context*/, void* self) {
    Signal(static_cast<Listing*>(self));
}

template <typename Info>
void OnDevice(pa_context* /*context*/, const Info* info, int last, void* self) {
    auto* listing = static_cast<Listing*>(self);
    if (last != 0 || info == nullptr) {
        --listing->pending;
        Signal(listing);
        return;
    }
    listing->devices.push_back(
        {info->name, info->description != nullptr ? info->description : info->name, false});
}

void OnDeadline(pa_mainloop_api* /*api*/, pa_time_event* /*event*/, const struct timeval* /*tv*/,
                void* self) {
    auto* listing = static_cast<Listing*>(self);
    listing->timedOut = true;
    Signal(listing);
}

struct DefaultNames {
    std::string* sink;
    std::string* source;
    int* pending;
    pa_threaded_mainloop* loop;
};

void OnDefaults(pa_context* /*context*/, const pa_server_info* info, void* self) {
    auto* names = static_cast<DefaultNames*>(self);
    if (info != nullptr) {
        if (info->default_sink_name != nullptr) *names->sink = info->default_sink_name;
        if (info->default_source_name != nullptr) *names->source = info->default_source_name;
    }
    --*names->pending;
    pa_threaded_mainloop_signal(names->loop, 0);
}

}  // namespace

std::vector<NamedDevice> ListPulseDevices(Direction direction) {
    Listing listing;
    listing.loop = pa_threaded_mainloop_new();
    if (listing.loop == nullptr) return {};
    pa_context* context =
        pa_context_new(pa_threaded_mainloop_get_api(listing.loop), "QuorvelWaveForm device list");
    std::string defaultSink;
    std::string defaultSource;
    if (context != nullptr && pa_threaded_mainloop_start(listing.loop) >= 0) {
        pa_threaded_mainloop_lock(listing.loop);
        pa_context_set_state_callback(context, &OnContextState, &listing);
        pa_mainloop_api* api = pa_threaded_mainloop_get_api(listing.loop);
        timeval deadline{};
        pa_gettimeofday(&deadline);
        pa_timeval_add(&deadline, kListLimit);
        pa_time_event* event = api->time_new(api, &deadline, &OnDeadline, &listing);
        const auto state = [&] { return pa_context_get_state(context); };
        if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
            while (!listing.timedOut && state() != PA_CONTEXT_READY &&
                   PA_CONTEXT_IS_GOOD(state())) {
                pa_threaded_mainloop_wait(listing.loop);
            }
        }
        if (state() == PA_CONTEXT_READY && !listing.timedOut) {
            DefaultNames names{&defaultSink, &defaultSource, &listing.pending, listing.loop};
            listing.pending = 2;
            pa_operation* operations[] = {
                pa_context_get_server_info(context, &OnDefaults, &names),
                direction == Direction::kOutput
                    ? pa_context_get_sink_info_list(context, &OnDevice<pa_sink_info>, &listing)
                    : pa_context_get_source_info_list(context, &OnDevice<pa_source_info>,
                                                      &listing)};
            for (pa_operation* operation : operations) {
                if (operation == nullptr) --listing.pending;
            }
            while (!listing.timedOut && listing.pending > 0 && state() == PA_CONTEXT_READY) {
                pa_threaded_mainloop_wait(listing.loop);
            }
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
        api->time_free(event);
        if (listing.timedOut) {
            std::fprintf(stderr,
                         "QuorvelDevice: the PulseAudio sound server did not answer within 2 s "
                         "while listing its devices, and is given up.\n");
        }
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
        pa_threaded_mainloop_unlock(listing.loop);
        pa_threaded_mainloop_stop(listing.loop);
    }
    if (context != nullptr) pa_context_unref(context);
    pa_threaded_mainloop_free(listing.loop);
    const std::string& defaultName = direction == Direction::kOutput ? defaultSink : defaultSource;
    for (NamedDevice& device : listing.devices) device.isDefault = device.name == defaultName;
    return listing.devices;
}

}  // namespace quorvel::device::detail
