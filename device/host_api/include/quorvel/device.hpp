// The host-side API of quorvel/device.h in C++ terms: the same calls with std::string,
// std::vector and std::chrono, inline over the C functions, so nothing C++ crosses into the
// library.
#ifndef QUORVEL_DEVICE_HPP
#define QUORVEL_DEVICE_HPP

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <forward_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "quorvel/device.h"

namespace quorvel::device {

namespace c_api {

inline bool Succeeded(qwd_result result, std::string* error) {
    if (result != QWD_OK && error != nullptr) *error = qwd_last_error();
    return result == QWD_OK;
}

// A screen's RGB bytes from `read`, asked again while the screen is resized between the calls.
inline std::vector<std::uint8_t> ReadRgb(qwd_result (*read)(std::uint8_t*, std::size_t,
                                                            std::size_t*)) {
    std::vector<std::uint8_t> rgb;
    std::size_t needed = 0;
    while (read(rgb.data(), rgb.size(), &needed) == QWD_ERROR_BUFFER) rgb.resize(needed);
    rgb.resize(needed);
    return rgb;
}

inline std::uint32_t TimeoutMs(std::chrono::milliseconds timeout) {
    const auto count = std::clamp<std::chrono::milliseconds::rep>(timeout.count(), 0, UINT32_MAX);
    return static_cast<std::uint32_t>(count);
}

}  // namespace c_api

// Calls whose C form serves C++ as it is are the C functions under these names.

// ---- Screen ---------------------------------------------------------------------------
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
inline constexpr auto& ScreenPixel = qwd_screen_pixel;
inline std::vector<std::uint8_t> ReadScreenRgb() {
    return c_api::ReadRgb(qwd_screen_read_rgb);
}
inline bool WriteScreenPng(const std::string& path, std::string* error = nullptr) {
    return c_api::Succeeded(qwd_screen_write_png(path.c_str()), error);
}
inline constexpr auto& ScreenGeneration = qwd_screen_generation;
inline std::vector<std::uint8_t> ReadPresentedScreenRgb() {
    return c_api::ReadRgb(qwd_screen_read_presented_rgb);
}
inline void EnablePresentation(bool on = true) {
    qwd_screen_enable_presentation(on ? 1 : 0);
}
inline constexpr auto& PresentedScreenGeneration = qwd_screen_presented_generation;
inline constexpr auto& LiveScreenObjects = qwd_screen_live_objects;

// ---- Choosing the audio devices --------------------------------------------------------
// The C structs themselves, filled with their defaults, so that a setting is declared once.
// Keep() holds a string for as long as any copy of the settings, for a field to point at:
// settings.source = settings.Keep("file:" + path).
template <typename Struct, void (*Init)(Struct*)>
struct CSettings : Struct {
    CSettings() { Init(this); }
    const char* Keep(std::string text) {
        if (!kept_) kept_ = std::make_shared<std::forward_list<std::string>>();
        return kept_->emplace_front(std::move(text)).c_str();
    }

  private:
    std::shared_ptr<std::forward_list<std::string>> kept_;
};
using OutputSettings = CSettings<qwd_output_settings, qwd_output_settings_init>;
using InputSettings = CSettings<qwd_input_settings, qwd_input_settings_init>;

inline bool ConfigureOutput(const OutputSettings& settings, std::string* error = nullptr) {
    return c_api::Succeeded(qwd_configure_output(&settings), error);
}
inline bool ConfigureInput(const InputSettings& settings, std::string* error = nullptr) {
    return c_api::Succeeded(qwd_configure_input(&settings), error);
}
// The strings of what is parsed stay valid until this thread's next parse or in-force call.
inline bool ParseOutputSettings(const std::string& text, OutputSettings* settings,
                                std::string* error = nullptr) {
    return c_api::Succeeded(qwd_parse_output_settings(text.c_str(), settings), error);
}
inline bool ParseInputSettings(const std::string& text, InputSettings* settings,
                               std::string* error = nullptr) {
    return c_api::Succeeded(qwd_parse_input_settings(text.c_str(), settings), error);
}
inline OutputSettings OutputSettingsInForce() {
    OutputSettings settings;
    qwd_output_settings_in_force(&settings);
    return settings;
}
inline InputSettings InputSettingsInForce() {
    InputSettings settings;
    qwd_input_settings_in_force(&settings);
    return settings;
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
using OutputStats = qwd_output_stats;
using InputStats = qwd_input_stats;
inline OutputStats GetOutputStats() {
    OutputStats stats{};
    stats.struct_size = sizeof stats;
    qwd_get_output_stats(&stats);
    return stats;
}
inline InputStats GetInputStats() {
    InputStats stats{};
    stats.struct_size = sizeof stats;
    qwd_get_input_stats(&stats);
    return stats;
}
inline constexpr auto& ResetStats = qwd_reset_stats;

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
inline constexpr auto& OpenOutputDevices = qwd_open_output_devices;
inline constexpr auto& OpenInputDevices = qwd_open_input_devices;
inline bool OutputDeviceLost() {
    return qwd_output_device_lost() != 0;
}
inline bool InputDeviceLost() {
    return qwd_input_device_lost() != 0;
}

inline constexpr auto& SetOutputGate = qwd_set_output_gate;
inline constexpr auto& SetInputGate = qwd_set_input_gate;
inline constexpr auto& ResetAll = qwd_reset_all;

}  // namespace quorvel::device

#endif
