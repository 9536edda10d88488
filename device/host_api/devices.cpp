// The host-side API of the audio devices: statistics, waits, gates, the backends, what the last
// open chose, and device loss, for both directions.
#include <algorithm>
#include <limits>
#include <string>

#include "backends/table.h"
#include "core/output_device.h"
#include "core/wave_device.h"
#include "core/wave_format.h"
#include "host_api/call_result.h"
#include "quorvel/device.h"

namespace quorvel::device {
namespace {

using detail::Direction;
using detail::RegistryOf;

// Waits until `done` holds (checked with the registry's lock released) or the timeout passes.
template <typename Done>
bool WaitFor(detail::DeviceRegistry& registry, std::chrono::milliseconds timeout, Done done) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock<std::mutex> lock(registry.mutex);
    while (true) {
        const std::uint64_t seen = registry.activityCount;
        lock.unlock();
        const bool reached = done();
        lock.lock();
        if (reached) return true;
        const bool changed = registry.activity.wait_until(
            lock, deadline, [&] { return registry.activityCount != seen; });
        if (!changed) return false;
    }
}

void SetGate(Direction direction, std::int64_t units) {
    // A long is the gate's own width; more units than it holds never run out anyway.
    const std::int64_t kept = std::min<std::int64_t>(units, std::numeric_limits<long>::max());
    RegistryOf(direction).gate.store(kept < 0 ? -1 : static_cast<long>(kept));
    for (const auto& device : detail::LiveDevices(direction)) device->GateChanged();
}

std::string ActiveBackend(Direction direction) {
    detail::DeviceRegistry& registry = RegistryOf(direction);
    const std::lock_guard<std::mutex> lock(registry.mutex);
    return registry.activeBackend;
}

std::string FallbackNotice(Direction direction) {
    detail::DeviceRegistry& registry = RegistryOf(direction);
    const std::lock_guard<std::mutex> lock(registry.mutex);
    return registry.fallbackNotice;
}

bool DeviceLost(Direction direction) {
    detail::DeviceRegistry& registry = RegistryOf(direction);
    const std::lock_guard<std::mutex> lock(registry.mutex);
    return std::any_of(registry.open.begin(), registry.open.end(),
                       [](const auto& entry) { return entry.second->lost(); });
}

// The screen a host should show now (see qwd_screen_read_presented_rgb).
void PresentedImage(detail::ScreenImage* image) {
    detail::presentationWanted.store(true);
    std::shared_ptr<detail::WaveDevice> newest;
    {
        detail::DeviceRegistry& registry = RegistryOf(Direction::kOutput);
        const std::lock_guard<std::mutex> lock(registry.mutex);
        if (!registry.open.empty()) newest = registry.open.rbegin()->second;
    }
    auto* output = static_cast<detail::OutputDevice*>(newest.get());
    std::int32_t width = 0;
    std::int32_t height = 0;
    qwd_screen_size(&width, &height);
    // A state kept before the screen was resized is not shown.
    if (output == nullptr || !output->PresentedScreen(image) || image->width != width ||
        image->height != height) {
        detail::CopyScreen(image);
    }
}

// What this thread's last qwd_list_audio_devices found.
struct ListedDevice {
    detail::NamedDevice device;
    const char* backend;
};
thread_local std::vector<ListedDevice> listedDevices;

const ListedDevice* Listed(std::int32_t index) {
    if (index < 0 || static_cast<std::size_t>(index) >= listedDevices.size()) return nullptr;
    return &listedDevices[static_cast<std::size_t>(index)];
}

int OpenDevices(Direction direction) {
    detail::DeviceRegistry& registry = RegistryOf(direction);
    const std::lock_guard<std::mutex> lock(registry.mutex);
    return static_cast<int>(registry.open.size());
}

}  // namespace
}  // namespace quorvel::device

namespace qd = quorvel::device::detail;
using qd::Direction;
using qd::RegistryOf;

extern "C" {

void qwd_set_output_gate(int64_t blocks) {
    quorvel::device::SetGate(Direction::kOutput, blocks);
}

void qwd_set_input_gate(int64_t buffers) {
    quorvel::device::SetGate(Direction::kInput, buffers);
}

qwd_result qwd_get_output_stats(qwd_output_stats* stats) {
    if (!qd::Sized(stats)) return qd::FailSize("output stats");
    const qd::DeviceCounters& counters = RegistryOf(Direction::kOutput).counters;
    stats->opened = counters.opened.load();
    stats->closed = counters.closed.load();
    stats->blocks_queued = counters.queued.load();
    stats->blocks_played = counters.completed.load();
    stats->bytes_played = counters.moved.load();
    stats->done_messages = counters.messages.load();
    stats->underrun_frames = counters.underrunFrames.load();
    stats->idle_frames = counters.idleFrames.load();
    stats->devices_lost = counters.lost.load();
    return QWD_OK;
}

qwd_result qwd_get_input_stats(qwd_input_stats* stats) {
    if (!qd::Sized(stats)) return qd::FailSize("input stats");
    const qd::DeviceCounters& counters = RegistryOf(Direction::kInput).counters;
    stats->opened = counters.opened.load();
    stats->closed = counters.closed.load();
    stats->buffers_filled = counters.completed.load();
    stats->data_messages = counters.messages.load();
    stats->frames_captured = counters.moved.load();
    stats->frames_dropped = counters.dropped.load();
    stats->devices_lost = counters.lost.load();
    return QWD_OK;
}

void qwd_reset_stats(void) {
    RegistryOf(Direction::kOutput).counters.Reset();
    RegistryOf(Direction::kInput).counters.Reset();
}

qwd_result qwd_wait_output_idle(uint32_t timeout_ms) {
    const bool idle = quorvel::device::WaitFor(
        RegistryOf(Direction::kOutput), std::chrono::milliseconds(timeout_ms), [] {
            const auto devices = qd::LiveDevices(Direction::kOutput);
            return std::all_of(devices.begin(), devices.end(),
                               [](const auto& device) { return device->Idle(); });
        });
    return idle ? QWD_OK
                : qd::Fail(QWD_ERROR_TIMEOUT, "Playback was still running after " +
                                                  std::to_string(timeout_ms) + " ms.");
}

qwd_result qwd_wait_input_data(uint64_t count, uint32_t timeout_ms) {
    qd::DeviceRegistry& registry = RegistryOf(Direction::kInput);
    std::multiset<std::uint64_t>::iterator awaited;
    {
        const std::lock_guard<std::mutex> lock(registry.mutex);
        awaited = registry.awaitedMessages.insert(count);
        registry.nearestAwaited.store(*registry.awaitedMessages.begin());
    }
    const bool reached =
        quorvel::device::WaitFor(registry, std::chrono::milliseconds(timeout_ms),
                                 [&] { return registry.counters.messages.load() >= count; });
    {
        const std::lock_guard<std::mutex> lock(registry.mutex);
        registry.awaitedMessages.erase(awaited);
        registry.nearestAwaited.store(registry.awaitedMessages.empty()
                                          ? ~std::uint64_t{0}
                                          : *registry.awaitedMessages.begin());
    }
    return reached ? QWD_OK
                   : qd::Fail(QWD_ERROR_TIMEOUT, "Fewer than " + std::to_string(count) +
                                                     " captured blocks arrived within " +
                                                     std::to_string(timeout_ms) + " ms.");
}

int32_t qwd_open_output_devices(void) {
    return quorvel::device::OpenDevices(Direction::kOutput);
}

int32_t qwd_open_input_devices(void) {
    return quorvel::device::OpenDevices(Direction::kInput);
}

int32_t qwd_audio_backend_count(void) {
    return static_cast<int32_t>(qd::BackendTable().size());
}

const char* qwd_audio_backend_name(int32_t index) {
    const auto& table = qd::BackendTable();
    if (index < 0 || static_cast<std::size_t>(index) >= table.size()) return nullptr;
    return table[static_cast<std::size_t>(index)].name;
}

const char* qwd_active_output_backend(void) {
    return qd::ThreadText(quorvel::device::ActiveBackend(Direction::kOutput));
}

const char* qwd_active_input_backend(void) {
    return qd::ThreadText(quorvel::device::ActiveBackend(Direction::kInput));
}

const char* qwd_output_fallback_notice(void) {
    return qd::ThreadText(quorvel::device::FallbackNotice(Direction::kOutput));
}

const char* qwd_input_fallback_notice(void) {
    return qd::ThreadText(quorvel::device::FallbackNotice(Direction::kInput));
}

qwd_result qwd_screen_read_presented_rgb(uint8_t* rgb, size_t capacity, size_t* needed) {
    qd::ScreenImage image;
    quorvel::device::PresentedImage(&image);
    const std::size_t size = image.pixels.size() * 3;
    if (needed != nullptr) *needed = size;
    if (capacity < size || rgb == nullptr) {
        return qd::Fail(QWD_ERROR_BUFFER, "The screen needs " + std::to_string(size) +
                                              " bytes; the buffer holds " +
                                              std::to_string(capacity) + ".");
    }
    qd::RgbOf(image, rgb);
    return QWD_OK;
}

uint64_t qwd_screen_presented_generation(void) {
    qd::ScreenImage image;
    quorvel::device::PresentedImage(&image);
    return image.generation;
}

const char* qwd_pcm_format_problem(uint16_t channels, uint32_t samples_per_sec,
                                   uint16_t block_align, uint16_t bits_per_sample) {
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = channels;
    format.nSamplesPerSec = samples_per_sec;
    format.nAvgBytesPerSec = samples_per_sec * block_align;
    format.nBlockAlign = block_align;
    format.wBitsPerSample = bits_per_sample;
    return qd::ThreadText(qd::PcmFormatProblem(format));
}

int32_t qwd_list_audio_devices(int32_t direction) {
    quorvel::device::listedDevices.clear();
    if (direction != QWD_DIRECTION_OUTPUT && direction != QWD_DIRECTION_INPUT) {
        qd::Fail(QWD_ERROR_ARGUMENT,
                 "Direction " + std::to_string(direction) +
                     " is neither QWD_DIRECTION_OUTPUT nor QWD_DIRECTION_INPUT.");
        return 0;
    }
    const Direction which =
        direction == QWD_DIRECTION_OUTPUT ? Direction::kOutput : Direction::kInput;
    for (const qd::BackendEntry& entry : qd::BackendTable()) {
        if (!entry.Serves(which) || entry.listDevices == nullptr) continue;
        for (qd::NamedDevice& device : entry.listDevices(which)) {
            quorvel::device::listedDevices.push_back({std::move(device), entry.name});
        }
        // The first backend that answers is the one "default" opens; the next would list the
        // same server's devices again under other names.
        if (!quorvel::device::listedDevices.empty()) break;
    }
    return static_cast<int32_t>(quorvel::device::listedDevices.size());
}

const char* qwd_audio_device_name(int32_t index) {
    const auto* listed = quorvel::device::Listed(index);
    return listed == nullptr ? nullptr : listed->device.name.c_str();
}

const char* qwd_audio_device_description(int32_t index) {
    const auto* listed = quorvel::device::Listed(index);
    return listed == nullptr ? nullptr : listed->device.description.c_str();
}

const char* qwd_audio_device_backend(int32_t index) {
    const auto* listed = quorvel::device::Listed(index);
    return listed == nullptr ? nullptr : listed->backend;
}

int32_t qwd_audio_device_is_default(int32_t index) {
    const auto* listed = quorvel::device::Listed(index);
    return listed != nullptr && listed->device.isDefault ? 1 : 0;
}

int32_t qwd_output_device_lost(void) {
    return quorvel::device::DeviceLost(Direction::kOutput) ? 1 : 0;
}

int32_t qwd_input_device_lost(void) {
    return quorvel::device::DeviceLost(Direction::kInput) ? 1 : 0;
}

}  // extern "C"

namespace quorvel::device {
namespace detail {

// What ResetAll puts back for the devices: settings, gates, statistics, the last open's choice.
void ResetDeviceParts() {
    ResetSettings();
    for (const Direction direction : {Direction::kOutput, Direction::kInput}) {
        DeviceRegistry& registry = RegistryOf(direction);
        {
            const std::lock_guard<std::mutex> lock(registry.mutex);
            registry.activeBackend.clear();
            registry.fallbackNotice.clear();
        }
        SetGate(direction, -1);
    }
    qwd_reset_stats();
}

}  // namespace detail
}  // namespace quorvel::device
