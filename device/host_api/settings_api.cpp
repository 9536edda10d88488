// The C host-side API of the settings: the structs and the text form turned into the devices'
// own settings and back, and the sinks' results.
#include <cstdint>
#include <string>

#include "base/call_result.h"
#include "settings/settings.h"

namespace qd = quorvel::device::detail;
using qd::Direction;

namespace {

// What a parse or an in-force call hands back, kept for the thread until its next one.
thread_local qd::Settings handedBack[2];

// The 2.0 layouts: every caller's struct holds them.
constexpr std::size_t kOutputSize = QWD_SIZE_THROUGH(qwd_output_settings, device);
constexpr std::size_t kInputSize = QWD_SIZE_THROUGH(qwd_input_settings, device);

qwd_result Result(bool done, const std::string& error) {
    return done ? QWD_OK : qd::Fail(QWD_ERROR_FAILED, error);
}

// The C struct of these settings; its strings point into `settings`.
qwd_output_settings OutputOf(const qd::Settings& settings) {
    qwd_output_settings c{};
    c.struct_size = kOutputSize;
    c.pace = settings.pace == qd::Pace::kFast ? QWD_PACE_FAST : QWD_PACE_REALTIME;
    c.backend = settings.backend.c_str();
    c.sink_file = settings.sinkFile.c_str();
    c.sink_memory = settings.sinkMemory ? 1 : 0;
    c.device = settings.device.c_str();
    return c;
}

qwd_input_settings InputOf(const qd::Settings& settings) {
    qwd_input_settings c{};
    c.struct_size = kInputSize;
    c.pace = settings.pace == qd::Pace::kFast ? QWD_PACE_FAST : QWD_PACE_REALTIME;
    c.backend = settings.backend.c_str();
    c.source = settings.source.c_str();
    c.fifo_frames = settings.fifoFrames;
    c.device = settings.device.c_str();
    return c;
}

// The fields both structs share; null strings keep the defaults.
template <typename Struct>
qwd_result SharedFrom(const Struct& c, qd::Settings* settings) {
    if (c.pace != QWD_PACE_REALTIME && c.pace != QWD_PACE_FAST) {
        return qd::Fail(QWD_ERROR_ARGUMENT, "Pace " + std::to_string(c.pace) +
                                                " is neither QWD_PACE_REALTIME nor QWD_PACE_FAST.");
    }
    settings->pace = c.pace == QWD_PACE_FAST ? qd::Pace::kFast : qd::Pace::kRealTime;
    if (c.backend != nullptr) settings->backend = c.backend;
    if (c.device != nullptr) settings->device = c.device;
    return QWD_OK;
}

qwd_result SettingsOf(const qwd_output_settings* caller, qd::Settings* settings) {
    if (!qd::Sized(caller, kOutputSize)) return qd::FailSize("output settings");
    const qd::Settings defaults;
    const qwd_output_settings c = qd::SizedIn(*caller, OutputOf(defaults));
    if (c.sink_file != nullptr) settings->sinkFile = c.sink_file;
    settings->sinkMemory = c.sink_memory != 0;
    return SharedFrom(c, settings);
}

qwd_result SettingsOf(const qwd_input_settings* caller, qd::Settings* settings) {
    if (!qd::Sized(caller, kInputSize)) return qd::FailSize("input settings");
    const qd::Settings defaults;
    const qwd_input_settings c = qd::SizedIn(*caller, InputOf(defaults));
    if (c.source != nullptr) settings->source = c.source;
    // Beyond what size_t holds is beyond the FIFO's limit: let the settings say so.
    settings->fifoFrames =
        c.fifo_frames > SIZE_MAX ? SIZE_MAX : static_cast<std::size_t>(c.fifo_frames);
    return SharedFrom(c, settings);
}

template <typename Struct>
qwd_result Configure(Direction direction, const Struct* c) {
    qd::Settings settings;
    if (const qwd_result result = SettingsOf(c, &settings); result != QWD_OK) return result;
    std::string error;
    return Result(qd::Configure(direction, settings, &error), error);
}

qwd_result Parse(Direction direction, const char* text, qd::Settings* settings) {
    if (text == nullptr) {
        return qd::Fail(QWD_ERROR_ARGUMENT,
                        std::string("No ") +
                            (direction == Direction::kOutput ? "output" : "input") +
                            " settings text was given.");
    }
    std::string error;
    return Result(qd::ParseSettings(direction, text, settings, &error), error);
}

void HandBack(const qd::Settings& settings, qwd_output_settings* caller) {
    handedBack[0] = settings;
    qd::SizedOut(OutputOf(handedBack[0]), caller);
}

void HandBack(const qd::Settings& settings, qwd_input_settings* caller) {
    handedBack[1] = settings;
    qd::SizedOut(InputOf(handedBack[1]), caller);
}

template <typename Struct>
qwd_result ParseInto(Direction direction, const char* text, Struct* caller, std::size_t size) {
    if (!qd::Sized(caller, size)) {
        return qd::FailSize(direction == Direction::kOutput ? "output settings" : "input settings");
    }
    qd::Settings settings;
    if (const qwd_result result = Parse(direction, text, &settings); result != QWD_OK)
        return result;
    HandBack(settings, caller);
    return QWD_OK;
}

template <typename Struct>
qwd_result InForce(Direction direction, Struct* caller, std::size_t size) {
    if (!qd::Sized(caller, size)) {
        return qd::FailSize(direction == Direction::kOutput ? "output settings" : "input settings");
    }
    HandBack(qd::InForce(direction), caller);
    return QWD_OK;
}

qwd_result ConfigureText(Direction direction, const char* text) {
    qd::Settings settings;
    if (const qwd_result result = Parse(direction, text, &settings); result != QWD_OK)
        return result;
    std::string error;
    return Result(qd::Configure(direction, settings, &error), error);
}

}  // namespace

extern "C" {

// Only the 2.0 layout is written: a host built against it has no room for more.
void qwd_output_settings_init(qwd_output_settings* settings) {
    if (settings == nullptr) return;
    settings->struct_size = kOutputSize;
    qd::SizedOut(OutputOf(qd::Settings{}), settings);
    settings->backend = settings->sink_file = settings->device = nullptr;
}

void qwd_input_settings_init(qwd_input_settings* settings) {
    if (settings == nullptr) return;
    settings->struct_size = kInputSize;
    qd::SizedOut(InputOf(qd::Settings{}), settings);
    settings->backend = settings->source = settings->device = nullptr;
}

qwd_result qwd_configure_output(const qwd_output_settings* c) {
    return Configure(Direction::kOutput, c);
}

qwd_result qwd_configure_input(const qwd_input_settings* c) {
    return Configure(Direction::kInput, c);
}

qwd_result qwd_parse_output_settings(const char* text, qwd_output_settings* caller) {
    return ParseInto(Direction::kOutput, text, caller, kOutputSize);
}

qwd_result qwd_parse_input_settings(const char* text, qwd_input_settings* caller) {
    return ParseInto(Direction::kInput, text, caller, kInputSize);
}

qwd_result qwd_configure_output_text(const char* text) {
    return ConfigureText(Direction::kOutput, text);
}

qwd_result qwd_configure_input_text(const char* text) {
    return ConfigureText(Direction::kInput, text);
}

qwd_result qwd_output_settings_in_force(qwd_output_settings* settings) {
    return InForce(Direction::kOutput, settings, kOutputSize);
}

qwd_result qwd_input_settings_in_force(qwd_input_settings* settings) {
    return InForce(Direction::kInput, settings, kInputSize);
}

qwd_result qwd_take_played_bytes(uint8_t* bytes, size_t capacity, size_t* taken) {
    if (bytes == nullptr && capacity != 0) {
        return qd::Fail(QWD_ERROR_ARGUMENT, "No buffer was given for the played bytes.");
    }
    const std::size_t count = capacity == 0 ? 0 : qd::TakePlayedBytes(bytes, capacity);
    if (taken != nullptr) *taken = count;
    return QWD_OK;
}

const char* qwd_output_sink_error(void) {
    return qd::ThreadText(qd::OutputSinkError());
}

}  // extern "C"
