// The host-side API of quorvel/device.h in C++ terms: the same calls with std::string,
// std::vector and std::chrono, inline over the C functions, so nothing C++ crosses into the
// library.
#ifndef QUORVEL_DEVICE_HPP
#define QUORVEL_DEVICE_HPP

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "quorvel/device.h"

namespace quorvel::device {

namespace c_api {

inline bool Succeeded(qwd_result result, std::string* error) {
    if (result != QWD_OK && error != nullptr) *error = qwd_last_error();
    return result == QWD_OK;
}

inline std::uint32_t TimeoutMs(std::chrono::milliseconds timeout) {
    const auto count = std::clamp<std::chrono::milliseconds::rep>(timeout.count(), 0, UINT32_MAX);
    return static_cast<std::uint32_t>(count);
}

}  // namespace c_api

// ---- Screen ---------------------------------------------------------------------------
constexpr int kDefaultScreenWidth = QWD_DEFAULT_SCREEN_WIDTH;
constexpr int kDefaultScreenHeight = QWD_DEFAULT_SCREEN_HEIGHT;

struct ScreenSize {
    int width;
    int height;
};

inline bool SetScreenSize(int width, int height) {
    return qwd_screen_set_size(width, height) == QWD_OK;
}
inline ScreenSize GetScreenSize() {
    std::int32_t width = 0, height = 0;
    qwd_screen_size(&width, &height);
    return ScreenSize{width, height};
}
inline void ClearScreen(std::uint32_t colorref = 0) {
    qwd_screen_clear(colorref);
}
inline std::uint32_t ScreenPixel(int x, int y) {
    return qwd_screen_pixel(x, y);
}
inline std::vector<std::uint8_t> ReadScreenRgb() {
    std::vector<std::uint8_t> rgb;
    std::size_t needed = 0;
    // The screen may be resized between the two calls: then ask again.
    while (qwd_screen_read_rgb(rgb.data(), rgb.size(), &needed) == QWD_ERROR_BUFFER) {
        rgb.resize(needed);
    }
    rgb.resize(needed);
    return rgb;
}
inline bool WriteScreenPng(const std::string& path, std::string* error = nullptr) {
    return c_api::Succeeded(qwd_screen_write_png(path.c_str()), error);
}
inline std::uint64_t ScreenGeneration() {
    return qwd_screen_generation();
}
inline std::vector<std::uint8_t> ReadPresentedScreenRgb() {
    std::vector<std::uint8_t> rgb;
    std::size_t needed = 0;
    while (qwd_screen_read_presented_rgb(rgb.data(), rgb.size(), &needed) == QWD_ERROR_BUFFER) {
        rgb.resize(needed);
    }
    rgb.resize(needed);
    return rgb;
}
inline void EnablePresentation(bool on = true) {
    qwd_screen_enable_presentation(on ? 1 : 0);
}
inline std::uint64_t PresentedScreenGeneration() {
    return qwd_screen_presented_generation();
}
inline std::size_t LiveScreenObjects() {
    return static_cast<std::size_t>(qwd_screen_live_objects());
}

// ---- Choosing the audio devices --------------------------------------------------------
enum class Pace { kRealTime = QWD_PACE_REALTIME, kFast = QWD_PACE_FAST };

struct OutputSettings {
    std::string backend = QWD_SETTINGS_BACKEND;
    Pace pace = Pace::kRealTime;
    std::string sinkFile;
    bool sinkMemory = false;
    std::string device;
};

struct InputSettings {
    std::string backend = QWD_SETTINGS_BACKEND;
    Pace pace = Pace::kRealTime;
    std::string source = QWD_SETTINGS_SOURCE;
    std::size_t fifoFrames = QWD_SETTINGS_FIFO_FRAMES;
    std::string device;
};

inline bool ConfigureOutput(const OutputSettings& settings, std::string* error = nullptr) {
    qwd_output_settings c{};
    qwd_output_settings_init(&c);
    c.backend = settings.backend.c_str();
    c.pace = static_cast<std::int32_t>(settings.pace);
    c.sink_file = settings.sinkFile.c_str();
    c.sink_memory = settings.sinkMemory ? 1 : 0;
    c.device = settings.device.c_str();
    return c_api::Succeeded(qwd_configure_output(&c), error);
}
inline bool ConfigureInput(const InputSettings& settings, std::string* error = nullptr) {
    qwd_input_settings c{};
    qwd_input_settings_init(&c);
    c.backend = settings.backend.c_str();
    c.pace = static_cast<std::int32_t>(settings.pace);
    c.source = settings.source.c_str();
    c.fifo_frames = settings.fifoFrames;
    c.device = settings.device.c_str();
    return c_api::Succeeded(qwd_configure_input(&c), error);
}
inline bool ParseOutputSettings(const std::string& text, OutputSettings* settings,
                                std::string* error = nullptr) {
    qwd_output_settings c{};
    c.struct_size = sizeof c;
    if (!c_api::Succeeded(qwd_parse_output_settings(text.c_str(), settings ? &c : nullptr), error))
        return false;
    *settings = OutputSettings{c.backend, static_cast<Pace>(c.pace), c.sink_file,
                               c.sink_memory != 0, c.device};
    return true;
}
inline bool ParseInputSettings(const std::string& text, InputSettings* settings,
                               std::string* error = nullptr) {
    qwd_input_settings c{};
    c.struct_size = sizeof c;
    if (!c_api::Succeeded(qwd_parse_input_settings(text.c_str(), settings ? &c : nullptr), error))
        return false;
    *settings = InputSettings{c.backend, static_cast<Pace>(c.pace), c.source,
                              static_cast<std::size_t>(c.fifo_frames), c.device};
    return true;
}

enum class Direction { kOutput = QWD_DIRECTION_OUTPUT, kInput = QWD_DIRECTION_INPUT };
struct AudioDevice {
    std::string name;
    std::string description;
    std::string backend;
    bool isDefault = false;
};
inline std::vector<AudioDevice> ListAudioDevices(Direction direction) {
    std::vector<AudioDevice> devices;
    const std::int32_t count = qwd_list_audio_devices(static_cast<std::int32_t>(direction));
    for (std::int32_t i = 0; i < count; ++i) {
        devices.push_back({qwd_audio_device_name(i), qwd_audio_device_description(i),
                           qwd_audio_device_backend(i), qwd_audio_device_is_default(i) != 0});
    }
    return devices;
}

// The backend that opens an unlisted sound device by `name`, or empty.
inline std::string AudioDeviceOpener(Direction direction, const std::string& name) {
    const char* backend =
        qwd_audio_device_opener(static_cast<std::int32_t>(direction), name.c_str());
    return backend != nullptr ? backend : "";
}

inline std::vector<std::string> AudioBackends() {
    std::vector<std::string> names;
    for (std::int32_t i = 0; i < qwd_audio_backend_count(); ++i)
        names.emplace_back(qwd_audio_backend_name(i));
    return names;
}
inline std::string ActiveOutputBackend() {
    return qwd_active_output_backend();
}
inline std::string ActiveInputBackend() {
    return qwd_active_input_backend();
}
inline std::string OutputFallbackNotice() {
    return qwd_output_fallback_notice();
}
inline std::string InputFallbackNotice() {
    return qwd_input_fallback_notice();
}

// ---- Watching and driving the devices --------------------------------------------------
struct OutputStats {
    std::uint64_t opened = 0;
    std::uint64_t closed = 0;
    std::uint64_t blocksQueued = 0;
    std::uint64_t blocksPlayed = 0;
    std::uint64_t bytesPlayed = 0;
    std::uint64_t doneMessages = 0;
    std::uint64_t underrunFrames = 0;
    std::uint64_t idleFrames = 0;
    std::uint64_t devicesLost = 0;
};
struct InputStats {
    std::uint64_t opened = 0;
    std::uint64_t closed = 0;
    std::uint64_t buffersFilled = 0;
    std::uint64_t dataMessages = 0;
    std::uint64_t framesCaptured = 0;
    std::uint64_t framesDropped = 0;
    std::uint64_t devicesLost = 0;
};

inline OutputStats GetOutputStats() {
    qwd_output_stats c{};
    c.struct_size = sizeof c;
    qwd_get_output_stats(&c);
    return OutputStats{c.opened,          c.closed,       c.blocks_queued,
                       c.blocks_played,   c.bytes_played, c.done_messages,
                       c.underrun_frames, c.idle_frames,  c.devices_lost};
}
inline InputStats GetInputStats() {
    qwd_input_stats c{};
    c.struct_size = sizeof c;
    qwd_get_input_stats(&c);
    return InputStats{c.opened,          c.closed,         c.buffers_filled, c.data_messages,
                      c.frames_captured, c.frames_dropped, c.devices_lost};
}
inline void ResetStats() {
    qwd_reset_stats();
}

inline std::vector<std::uint8_t> TakePlayedBytes() {
    constexpr std::size_t kChunk = 65536;
    std::vector<std::uint8_t> played;
    std::size_t taken = 0;
    do {
        const std::size_t kept = played.size();
        played.resize(kept + kChunk);
        qwd_take_played_bytes(played.data() + kept, kChunk, &taken);
        played.resize(kept + taken);
    } while (taken == kChunk);
    return played;
}
inline std::string OutputSinkError() {
    return qwd_output_sink_error();
}
inline std::string PcmFormatProblem(std::uint16_t channels, std::uint32_t samplesPerSec,
                                    std::uint16_t blockAlign, std::uint16_t bitsPerSample) {
    return qwd_pcm_format_problem(channels, samplesPerSec, blockAlign, bitsPerSample);
}

inline bool WaitOutputIdle(std::chrono::milliseconds timeout) {
    return qwd_wait_output_idle(c_api::TimeoutMs(timeout)) == QWD_OK;
}
inline bool WaitInputData(std::uint64_t count, std::chrono::milliseconds timeout) {
    return qwd_wait_input_data(count, c_api::TimeoutMs(timeout)) == QWD_OK;
}
inline int OpenOutputDevices() {
    return qwd_open_output_devices();
}
inline int OpenInputDevices() {
    return qwd_open_input_devices();
}
inline bool OutputDeviceLost() {
    return qwd_output_device_lost() != 0;
}
inline bool InputDeviceLost() {
    return qwd_input_device_lost() != 0;
}

inline void SetOutputGate(long blocks) {
    qwd_set_output_gate(blocks);
}
inline void SetInputGate(long buffers) {
    qwd_set_input_gate(buffers);
}

inline void ResetAll() {
    qwd_reset_all();
}

}  // namespace quorvel::device

#endif
