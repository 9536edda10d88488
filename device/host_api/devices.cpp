// The host-side API of the audio devices: statistics, waits, gates, what the last open chose,
// and device loss, for both directions.
#include <algorithm>

#include "core/output_device.h"
#include "core/wave_device.h"
#include "core/wave_format.h"
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

void SetGate(Direction direction, long units) {
    RegistryOf(direction).gate.store(units < 0 ? -1 : units);
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

// The screen a host should show now (see ReadPresentedScreenRgb).
void PresentedImage(detail::ScreenImage* image) {
    detail::presentationWanted.store(true);
    std::shared_ptr<detail::WaveDevice> newest;
    {
        detail::DeviceRegistry& registry = RegistryOf(Direction::kOutput);
        const std::lock_guard<std::mutex> lock(registry.mutex);
        if (!registry.open.empty()) newest = registry.open.rbegin()->second;
    }
    auto* output = static_cast<detail::OutputDevice*>(newest.get());
    const ScreenSize size = GetScreenSize();
    // A state kept before the screen was resized is not shown.
    if (output == nullptr || !output->PresentedScreen(image) || image->width != size.width ||
        image->height != size.height) {
        detail::CopyScreen(image);
    }
}

int OpenDevices(Direction direction) {
    detail::DeviceRegistry& registry = RegistryOf(direction);
    const std::lock_guard<std::mutex> lock(registry.mutex);
    return static_cast<int>(registry.open.size());
}

}  // namespace

void SetOutputGate(long blocks) {
    SetGate(Direction::kOutput, blocks);
}

void SetInputGate(long buffers) {
    SetGate(Direction::kInput, buffers);
}

OutputStats GetOutputStats() {
    const detail::DeviceCounters& counters = RegistryOf(Direction::kOutput).counters;
    OutputStats stats;
    stats.opened = counters.opened.load();
    stats.closed = counters.closed.load();
    stats.blocksQueued = counters.queued.load();
    stats.blocksPlayed = counters.completed.load();
    stats.bytesPlayed = counters.moved.load();
    stats.doneMessages = counters.messages.load();
    stats.underrunFrames = counters.underrunFrames.load();
    stats.idleFrames = counters.idleFrames.load();
    stats.devicesLost = counters.lost.load();
    return stats;
}

InputStats GetInputStats() {
    const detail::DeviceCounters& counters = RegistryOf(Direction::kInput).counters;
    InputStats stats;
    stats.opened = counters.opened.load();
    stats.closed = counters.closed.load();
    stats.buffersFilled = counters.completed.load();
    stats.dataMessages = counters.messages.load();
    stats.framesCaptured = counters.moved.load();
    stats.framesDropped = counters.dropped.load();
    stats.devicesLost = counters.lost.load();
    return stats;
}

void ResetStats() {
    RegistryOf(Direction::kOutput).counters.Reset();
    RegistryOf(Direction::kInput).counters.Reset();
}

bool WaitOutputIdle(std::chrono::milliseconds timeout) {
    return WaitFor(RegistryOf(Direction::kOutput), timeout, [] {
        const auto devices = detail::LiveDevices(Direction::kOutput);
        return std::all_of(devices.begin(), devices.end(),
                           [](const auto& device) { return device->Idle(); });
    });
}

bool WaitInputData(std::uint64_t count, std::chrono::milliseconds timeout) {
    detail::DeviceRegistry& registry = RegistryOf(Direction::kInput);
    std::multiset<std::uint64_t>::iterator awaited;
    {
        const std::lock_guard<std::mutex> lock(registry.mutex);
        awaited = registry.awaitedMessages.insert(count);
        registry.nearestAwaited.store(*registry.awaitedMessages.begin());
    }
    const bool reached =
        WaitFor(registry, timeout, [&] { return registry.counters.messages.load() >= count; });
    const std::lock_guard<std::mutex> lock(registry.mutex);
    registry.awaitedMessages.erase(awaited);
    registry.nearestAwaited.store(
        registry.awaitedMessages.empty() ? ~std::uint64_t{0} : *registry.awaitedMessages.begin());
    return reached;
}

int OpenOutputDevices() {
    return OpenDevices(Direction::kOutput);
}

int OpenInputDevices() {
    return OpenDevices(Direction::kInput);
}

std::string ActiveOutputBackend() {
    return ActiveBackend(Direction::kOutput);
}

std::string ActiveInputBackend() {
    return ActiveBackend(Direction::kInput);
}

std::string OutputFallbackNotice() {
    return FallbackNotice(Direction::kOutput);
}

std::string InputFallbackNotice() {
    return FallbackNotice(Direction::kInput);
}

std::string PcmFormatProblem(std::uint16_t channels, std::uint32_t samplesPerSec,
                             std::uint16_t blockAlign, std::uint16_t bitsPerSample) {
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = channels;
    format.nSamplesPerSec = samplesPerSec;
    format.nAvgBytesPerSec = samplesPerSec * blockAlign;
    format.nBlockAlign = blockAlign;
    format.wBitsPerSample = bitsPerSample;
    return detail::PcmFormatProblem(format);
}

std::vector<std::uint8_t> ReadPresentedScreenRgb() {
    detail::ScreenImage image;
    PresentedImage(&image);
    return detail::RgbOf(image);
}

std::uint64_t PresentedScreenGeneration() {
    detail::ScreenImage image;
    PresentedImage(&image);
    return image.generation;
}

bool OutputDeviceLost() {
    return DeviceLost(Direction::kOutput);
}

bool InputDeviceLost() {
    return DeviceLost(Direction::kInput);
}

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
    ResetStats();
}

}  // namespace detail
}  // namespace quorvel::device
