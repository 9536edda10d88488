// The C host-side API of the settings: the structs and the text form turned into the devices'
// own settings, and the sinks' results.
#include <cstdint>
#include <string>

#include "base/call_result.h"
#include "settings/settings.h"

namespace qd = quorvel::device::detail;

namespace {

// What a parse hands back, kept for the thread until its next parse.
thread_local qd::OutputSettings parsedOutput;
thread_local qd::InputSettings parsedInput;

qwd_result FailPace(std::int32_t pace) {
    return qd::Fail(QWD_ERROR_ARGUMENT, "Pace " + std::to_string(pace) +
                                            " is neither QWD_PACE_REALTIME nor QWD_PACE_FAST.");
}

bool KnownPace(std::int32_t pace) {
    return pace == QWD_PACE_REALTIME || pace == QWD_PACE_FAST;
}

qd::Pace PaceOf(std::int32_t pace) {
    return pace == QWD_PACE_FAST ? qd::Pace::kFast : qd::Pace::kRealTime;
}

std::int32_t CPace(qd::Pace pace) {
    return pace == qd::Pace::kFast ? QWD_PACE_FAST : QWD_PACE_REALTIME;
}

qwd_result Result(bool done, const std::string& error) {
    return done ? QWD_OK : qd::Fail(QWD_ERROR_FAILED, error);
}

// The 2.0 layouts: every caller's struct holds them.
constexpr std::size_t kOutputSize = QWD_SIZE_THROUGH(qwd_output_settings, device);
constexpr std::size_t kInputSize = QWD_SIZE_THROUGH(qwd_input_settings, device);

qwd_output_settings OutputDefaults() {
    qwd_output_settings settings{};
    settings.struct_size = kOutputSize;
    settings.pace = QWD_PACE_REALTIME;
    return settings;
}

qwd_input_settings InputDefaults() {
    qwd_input_settings settings{};
    settings.struct_size = kInputSize;
    settings.pace = QWD_PACE_REALTIME;
    settings.fifo_frames = qd::InputSettings{}.fifoFrames;
    return settings;
}

qwd_result ToSettings(const qwd_output_settings* caller, qd::OutputSettings* settings) {
    if (!qd::Sized(caller, kOutputSize)) return qd::FailSize("output settings");
    const qwd_output_settings sized = qd::SizedIn(*caller, OutputDefaults());
    const qwd_output_settings* c = &sized;
    if (!KnownPace(c->pace)) return FailPace(c->pace);
    if (c->backend != nullptr) settings->backend = c->backend;
    settings->pace = PaceOf(c->pace);
    if (c->sink_file != nullptr) settings->sinkFile = c->sink_file;
    settings->sinkMemory = c->sink_memory != 0;
    if (c->device != nullptr) settings->device = c->device;
    return QWD_OK;
}

qwd_result ToSettings(const qwd_input_settings* caller, qd::InputSettings* settings) {
    if (!qd::Sized(caller, kInputSize)) return qd::FailSize("input settings");
    const qwd_input_settings sized = qd::SizedIn(*caller, InputDefaults());
    const qwd_input_settings* c = &sized;
    if (!KnownPace(c->pace)) return FailPace(c->pace);
    if (c->backend != nullptr) settings->backend = c->backend;
    settings->pace = PaceOf(c->pace);
    if (c->source != nullptr) settings->source = c->source;
    // Beyond what size_t holds is beyond the FIFO's limit: let the settings say so.
    settings->fifoFrames =
        c->fifo_frames > SIZE_MAX ? SIZE_MAX : static_cast<std::size_t>(c->fifo_frames);
    if (c->device != nullptr) settings->device = c->device;
    return QWD_OK;
}

qwd_result ParseOutput(const char* text, qd::OutputSettings* settings) {
    if (text == nullptr) return qd::Fail(QWD_ERROR_ARGUMENT, "No output settings text was given.");
    std::string error;
    return Result(qd::ParseOutputSettings(text, settings, &error), error);
}

qwd_result ParseInput(const char* text, qd::InputSettings* settings) {
    if (text == nullptr) return qd::Fail(QWD_ERROR_ARGUMENT, "No input settings text was given.");
    std::string error;
    return Result(qd::ParseInputSettings(text, settings, &error), error);
}

}  // namespace

extern "C" {

// Only the 2.0 layout is written: a host built against it has no room for more.
void qwd_output_settings_init(qwd_output_settings* settings) {
    if (settings == nullptr) return;
    settings->struct_size = kOutputSize;
    qd::SizedOut(OutputDefaults(), settings);
}

void qwd_input_settings_init(qwd_input_settings* settings) {
    if (settings == nullptr) return;
    settings->struct_size = kInputSize;
    qd::SizedOut(InputDefaults(), settings);
}

qwd_result qwd_configure_output(const qwd_output_settings* c) {
    qd::OutputSettings settings;
    if (const qwd_result result = ToSettings(c, &settings); result != QWD_OK) return result;
    std::string error;
    return Result(qd::ConfigureOutput(settings, &error), error);
}

qwd_result qwd_configure_input(const qwd_input_settings* c) {
    qd::InputSettings settings;
    if (const qwd_result result = ToSettings(c, &settings); result != QWD_OK) return result;
    std::string error;
    return Result(qd::ConfigureInput(settings, &error), error);
}

qwd_result qwd_parse_output_settings(const char* text, qwd_output_settings* caller) {
    if (!qd::Sized(caller, kOutputSize)) return qd::FailSize("output settings");
    qd::OutputSettings settings;
    if (const qwd_result result = ParseOutput(text, &settings); result != QWD_OK) return result;
    parsedOutput = std::move(settings);
    qwd_output_settings c = OutputDefaults();
    c.pace = CPace(parsedOutput.pace);
    c.backend = parsedOutput.backend.c_str();
    c.sink_file = parsedOutput.sinkFile.c_str();
    c.sink_memory = parsedOutput.sinkMemory ? 1 : 0;
    c.device = parsedOutput.device.c_str();
    qd::SizedOut(c, caller);
    return QWD_OK;
}

qwd_result qwd_parse_input_settings(const char* text, qwd_input_settings* caller) {
    if (!qd::Sized(caller, kInputSize)) return qd::FailSize("input settings");
    qd::InputSettings settings;
    if (const qwd_result result = ParseInput(text, &settings); result != QWD_OK) return result;
    parsedInput = std::move(settings);
    qwd_input_settings c = InputDefaults();
    c.pace = CPace(parsedInput.pace);
    c.backend = parsedInput.backend.c_str();
    c.source = parsedInput.source.c_str();
    c.fifo_frames = parsedInput.fifoFrames;
    c.device = parsedInput.device.c_str();
    qd::SizedOut(c, caller);
    return QWD_OK;
}

qwd_result qwd_configure_output_text(const char* text) {
    qd::OutputSettings settings;
    if (const qwd_result result = ParseOutput(text, &settings); result != QWD_OK) return result;
    std::string error;
    return Result(qd::ConfigureOutput(settings, &error), error);
}

qwd_result qwd_configure_input_text(const char* text) {
    qd::InputSettings settings;
    if (const qwd_result result = ParseInput(text, &settings); result != QWD_OK) return result;
    std::string error;
    return Result(qd::ConfigureInput(settings, &error), error);
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
