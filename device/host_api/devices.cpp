// The host-side API of the audio devices: statistics, waits, gates, the backends, what the last
// open chose, and device loss, for both directions.
#include <algorithm>
#include <limits>
#include <string>

#include "backends/table.h"
#include "base/call_result.h"
#include "base/wave_format.h"
#include "core/wave_device.h"
#include "quorvel/device.h"
#include "screen/screen.h"
#include "testing/hooks.h"

namespace qd = quorvel::device::detail;
using qd::Direction;
using qd::RegistryOf;

namespace {

void SetGate(Direction direction, std::int64_t units) {
    // A long is the gate's own width; more units than it holds never run out anyway.
    const std::int64_t kept = std::min<std::int64_t>(units, std::numeric_limits<long>::max());
    RegistryOf(direction).gate.Set(kept < 0 ? -1 : static_cast<long>(kept));
    for (const auto& device : RegistryOf(direction).devices.Live()) device->GateChanged();
}

int32_t DeviceLost(Direction direction) {
    const auto open = RegistryOf(direction).devices.Open();
    return std::any_of(open.begin(), open.end(), [](const auto& device) { return device->lost(); });
}

int32_t OpenDevices(Direction direction) {
    return static_cast<int32_t>(RegistryOf(direction).devices.Open().size());
}

// What this thread's last qwd_list_audio_devices found.
struct ListedDevice {
    qd::NamedDevice device;
    const char* backend;
};
thread_local std::vector<ListedDevice> listedDevices;

const ListedDevice* Listed(std::int32_t index) {
    if (index < 0 || static_cast<std::size_t>(index) >= listedDevices.size()) return nullptr;
    return &listedDevices[static_cast<std::size_t>(index)];
}

}  // namespace

extern "C" {

void qwd_set_output_gate(int64_t blocks) {
    SetGate(Direction::kOutput, blocks);
}

void qwd_set_input_gate(int64_t buffers) {
    SetGate(Direction::kInput, buffers);
}

qwd_result qwd_get_output_stats(qwd_output_stats* stats) {
    if (!qd::Sized(stats, QWD_SIZE_THROUGH(qwd_output_stats, devices_lost))) {
        return qd::FailSize("output stats");
    }
    const qd::DeviceCounters& counters = RegistryOf(Direction::kOutput).counters;
    qwd_output_stats out{};
    out.opened = counters.opened.load();
    out.closed = counters.closed.load();
    out.blocks_queued = counters.queued.load();
    out.blocks_played = counters.completed.load();
    out.bytes_played = counters.moved.load();
    out.done_messages = counters.messages.load();
    out.underrun_frames = counters.underrunFrames.load();
    out.idle_frames = counters.idleFrames.load();
    out.devices_lost = counters.lost.load();
    qd::SizedOut(out, stats);
    return QWD_OK;
}

qwd_result qwd_get_input_stats(qwd_input_stats* stats) {
    if (!qd::Sized(stats, QWD_SIZE_THROUGH(qwd_input_stats, devices_lost))) {
        return qd::FailSize("input stats");
    }
    const qd::DeviceCounters& counters = RegistryOf(Direction::kInput).counters;
    qwd_input_stats out{};
    out.opened = counters.opened.load();
    out.closed = counters.closed.load();
    out.buffers_filled = counters.completed.load();
    out.data_messages = counters.messages.load();
    out.frames_captured = counters.moved.load();
    out.frames_dropped = counters.dropped.load();
    out.devices_lost = counters.lost.load();
    qd::SizedOut(out, stats);
    return QWD_OK;
}

void qwd_reset_stats(void) {
    RegistryOf(Direction::kOutput).counters.Reset();
    RegistryOf(Direction::kInput).counters.Reset();
}

qwd_result qwd_wait_output_idle(uint32_t timeout_ms) {
    qd::DeviceRegistry& registry = RegistryOf(Direction::kOutput);
    const bool idle = registry.waiters.WaitFor(std::chrono::milliseconds(timeout_ms), [&] {
        const auto devices = registry.devices.Live();
        return std::all_of(devices.begin(), devices.end(),
                           [](const auto& device) { return device->Idle(); });
    });
    return idle ? QWD_OK
                : qd::Fail(QWD_ERROR_TIMEOUT, "Playback was still running after " +
                                                  std::to_string(timeout_ms) + " ms.");
}

qwd_result qwd_wait_input_data(uint64_t count, uint32_t timeout_ms) {
    qd::DeviceRegistry& registry = RegistryOf(Direction::kInput);
    const bool reached = registry.waiters.WaitForCount(registry.counters.messages, count,
                                                       std::chrono::milliseconds(timeout_ms));
    return reached ? QWD_OK
                   : qd::Fail(QWD_ERROR_TIMEOUT, "Fewer than " + std::to_string(count) +
                                                     " captured blocks arrived within " +
                                                     std::to_string(timeout_ms) + " ms.");
}

int32_t qwd_open_output_devices(void) {
    return OpenDevices(Direction::kOutput);
}

int32_t qwd_open_input_devices(void) {
    return OpenDevices(Direction::kInput);
}

int32_t qwd_output_device_lost(void) {
    return DeviceLost(Direction::kOutput);
}

int32_t qwd_input_device_lost(void) {
    return DeviceLost(Direction::kInput);
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
    return qd::ThreadText(RegistryOf(Direction::kOutput).notices.Backend());
}

const char* qwd_active_input_backend(void) {
    return qd::ThreadText(RegistryOf(Direction::kInput).notices.Backend());
}

const char* qwd_output_fallback_notice(void) {
    return qd::ThreadText(RegistryOf(Direction::kOutput).notices.Fallback());
}

const char* qwd_input_fallback_notice(void) {
    return qd::ThreadText(RegistryOf(Direction::kInput).notices.Fallback());
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
    listedDevices.clear();
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
            listedDevices.push_back({std::move(device), entry.name});
        }
        // The first backend that answers is the one "default" opens; the next would list the
        // same server's devices again under other names.
        if (!listedDevices.empty()) break;
    }
    return static_cast<int32_t>(listedDevices.size());
}

const char* qwd_audio_device_name(int32_t index) {
    const ListedDevice* listed = Listed(index);
    return listed == nullptr ? nullptr : listed->device.name.c_str();
}

const char* qwd_audio_device_description(int32_t index) {
    const ListedDevice* listed = Listed(index);
    return listed == nullptr ? nullptr : listed->device.description.c_str();
}

const char* qwd_audio_device_backend(int32_t index) {
    const ListedDevice* listed = Listed(index);
    return listed == nullptr ? nullptr : listed->backend;
}

int32_t qwd_audio_device_is_default(int32_t index) {
    const ListedDevice* listed = Listed(index);
    return listed != nullptr && listed->device.isDefault ? 1 : 0;
}

const char* qwd_audio_device_opener(int32_t direction, const char* name) {
    if (name == nullptr || *name == '\0') return nullptr;
    const Direction which =
        direction == QWD_DIRECTION_INPUT ? Direction::kInput : Direction::kOutput;
    for (const qd::BackendEntry& entry : qd::BackendTable()) {
        if (entry.Serves(which) && entry.opensDevice != nullptr && entry.opensDevice(which, name)) {
            return entry.name;
        }
    }
    return nullptr;
}

void qwd_reset_all(void) {
    qwd_enable_journal(0);
    qwd_clear_journal();
    qwd_clear_faults();
    qd::ResetHandlerTimes();
    qd::ResetScreen();
    qwd_screen_enable_presentation(0);
    qd::ResetSettings();
    for (const Direction direction : {Direction::kOutput, Direction::kInput}) {
        RegistryOf(direction).notices.Set("", "");
        SetGate(direction, -1);
    }
    qwd_reset_stats();
}

}  // extern "C"
