// The C host-side API of the settings: the structs and the text form turned into the devices'
// own settings, and the sinks' results.
#include <cstdint>
#include <string>

#include "host_api/call_result.h"
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

qwd_result ToSettings(const qwd_output_settings* c, qd::OutputSettings* settings) {
    if (!qd::Sized(c)) return qd::FailSize("output settings");
    if (!KnownPace(c->pace)) return FailPace(c->pace);
    if (c->backend != nullptr) settings->backend = c->backend;
    settings->pace = PaceOf(c->pace);
    if (c->sink_file != nullptr) settings->sinkFile = c->sink_file;
    settings->sinkMemory = c->sink_memory != 0;
    if (c->device != nullptr) settings->device = c->device;
    return QWD_OK;
}

qwd_result ToSettings(const qwd_input_settings* c, qd::InputSettings* settings) {
    if (!qd::Sized(c)) return qd::FailSize("input settings");
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

void qwd_output_settings_init(qwd_output_settings* settings) {
    if (settings == nullptr) return;
    *settings = qwd_output_settings{};
    settings->struct_size = sizeof *settings;
    settings->pace = QWD_PACE_REALTIME;
}

void qwd_input_settings_init(qwd_input_settings* settings) {
    if (settings == nullptr) return;
    *settings = qwd_input_settings{};
    settings->struct_size = sizeof *settings;
    settings->pace = QWD_PACE_REALTIME;
    settings->fifo_frames = qd::InputSettings{}.fifoFrames;
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

qwd_result qwd_parse_output_settings(const char* text, qwd_output_settings* c) {
    if (!qd::Sized(c)) return qd::FailSize("output settings");
    qd::OutputSettings settings;
    if (const qwd_result result = ParseOutput(text, &settings); result != QWD_OK) return result;
    parsedOutput = std::move(settings);
    c->pace = CPace(parsedOutput.pace);
    c->backend = parsedOutput.backend.c_str();
    c->sink_file = parsedOutput.sinkFile.c_str();
    c->sink_memory = parsedOutput.sinkMemory ? 1 : 0;
    c->device = parsedOutput.device.c_str();
    return QWD_OK;
}

qwd_result qwd_parse_input_settings(const char* text, qwd_input_settings* c) {
    if (!qd::Sized(c)) return qd::FailSize("input settings");
    qd::InputSettings settings;
    if (const qwd_result result = ParseInput(text, &settings); result != QWD_OK) return result;
    parsedInput = std::move(settings);
    c->pace = CPace(parsedInput.pace);
    c->backend = parsedInput.backend.c_str();
    c->source = parsedInput.source.c_str();
    c->fifo_frames = parsedInput.fifoFrames;
    c->device = parsedInput.device.c_str();
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
