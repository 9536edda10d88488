// The C host-side API of the settings: the structs and the text form turned into the devices'
// own settings and back, and the sinks' results. One template serves both directions' structs.
#include <cstdint>
#include <string>
#include <type_traits>

#include "base/call_result.h"
#include "settings/settings.h"

namespace qd = quorvel::device::detail;

namespace {

template <typename Struct>
constexpr bool kIsOutput = std::is_same_v<Struct, qwd_output_settings>;
template <typename Struct>
constexpr qd::Direction kDirection =
    kIsOutput<Struct> ? qd::Direction::kOutput : qd::Direction::kInput;
template <typename Struct>
constexpr const char* kWhat = kIsOutput<Struct> ? "output settings" : "input settings";
// Both 2.0 layouts, which every caller's struct holds, end with the device.
template <typename Struct>
constexpr std::size_t kFirstSize = QWD_SIZE_THROUGH(Struct, device);

// What a parse or an in-force call hands back, kept for the thread until its next one.
thread_local qd::Settings handedBack[2];

// The C struct of these settings; its strings point into `settings`.
template <typename Struct>
Struct CStructOf(const qd::Settings& settings) {
    Struct c{};
    c.struct_size = kFirstSize<Struct>;
    c.pace = settings.pace == qd::Pace::kFast ? QWD_PACE_FAST : QWD_PACE_REALTIME;
    c.backend = settings.backend.c_str();
    c.device = settings.device.c_str();
    if constexpr (kIsOutput<Struct>) {
        c.sink_file = settings.sinkFile.c_str();
        c.sink_memory = settings.sinkMemory ? 1 : 0;
    } else {
        c.source = settings.source.c_str();
        c.fifo_frames = settings.fifoFrames;
    }
    return c;
}

// The caller's struct as settings; null strings keep the defaults.
template <typename Struct>
qwd_result SettingsOf(const Struct* caller, qd::Settings* settings) {
    if (!qd::Sized(caller, kFirstSize<Struct>)) return qd::FailSize(kWhat<Struct>);
    const qd::Settings defaults;
    const Struct c = qd::SizedIn(*caller, CStructOf<Struct>(defaults));
    if (c.pace != QWD_PACE_REALTIME && c.pace != QWD_PACE_FAST) {
        return qd::Fail(QWD_ERROR_ARGUMENT, "Pace " + std::to_string(c.pace) +
                                                " is neither QWD_PACE_REALTIME nor QWD_PACE_FAST.");
    }
    settings->pace = c.pace == QWD_PACE_FAST ? qd::Pace::kFast : qd::Pace::kRealTime;
    if (c.backend != nullptr) settings->backend = c.backend;
    if (c.device != nullptr) settings->device = c.device;
    if constexpr (kIsOutput<Struct>) {
        if (c.sink_file != nullptr) settings->sinkFile = c.sink_file;
        settings->sinkMemory = c.sink_memory != 0;
    } else {
        if (c.source != nullptr) settings->source = c.source;
        // Beyond what size_t holds is beyond the FIFO's limit: let the settings say so.
        settings->fifoFrames =
            c.fifo_frames > SIZE_MAX ? SIZE_MAX : static_cast<std::size_t>(c.fifo_frames);
    }
    return QWD_OK;
}

template <typename Struct>
qwd_result Parse(const char* text, qd::Settings* settings) {
    if (text == nullptr) {
        return qd::Fail(QWD_ERROR_ARGUMENT,
                        std::string("No ") + kWhat<Struct> + " text was given.");
    }
    std::string error;
    return qd::ParseSettings(kDirection<Struct>, text, settings, &error)
               ? QWD_OK
               : qd::Fail(QWD_ERROR_FAILED, error);
}

// Configures with what `read` (SettingsOf or Parse) made of the caller's value.
template <typename Struct, typename Value>
qwd_result Configure(qwd_result (*read)(Value, qd::Settings*), Value value) {
    qd::Settings settings;
    if (const qwd_result result = read(value, &settings); result != QWD_OK) return result;
    std::string error;
    return qd::Configure(kDirection<Struct>, settings, &error) ? QWD_OK
                                                               : qd::Fail(QWD_ERROR_FAILED, error);
}

// Fills the caller's struct with `settings`, whose strings are kept for the thread.
template <typename Struct>
qwd_result HandBack(const qd::Settings& settings, Struct* caller) {
    qd::Settings& kept = handedBack[kIsOutput<Struct> ? 0 : 1];
    kept = settings;
    qd::SizedOut(CStructOf<Struct>(kept), caller);
    return QWD_OK;
}

template <typename Struct>
qwd_result ParseInto(const char* text, Struct* caller) {
    if (!qd::Sized(caller, kFirstSize<Struct>)) return qd::FailSize(kWhat<Struct>);
    qd::Settings settings;
    const qwd_result result = Parse<Struct>(text, &settings);
    return result != QWD_OK ? result : HandBack(settings, caller);
}

template <typename Struct>
qwd_result InForce(Struct* caller) {
    if (!qd::Sized(caller, kFirstSize<Struct>)) return qd::FailSize(kWhat<Struct>);
    return HandBack(qd::ChoiceForNewDevice(kDirection<Struct>).settings, caller);
}

// Only the 2.0 layout is written: a host built against it has no room for more.
template <typename Struct>
void Init(Struct* settings) {
    if (settings == nullptr) return;
    settings->struct_size = kFirstSize<Struct>;
    Struct c{};
    c.pace = QWD_PACE_REALTIME;
    if constexpr (!kIsOutput<Struct>) c.fifo_frames = QWD_SETTINGS_FIFO_FRAMES;
    qd::SizedOut(c, settings);
}

}  // namespace

extern "C" {

void qwd_output_settings_init(qwd_output_settings* settings) {
    Init(settings);
}

void qwd_input_settings_init(qwd_input_settings* settings) {
    Init(settings);
}

qwd_result qwd_configure_output(const qwd_output_settings* c) {
    return Configure<qwd_output_settings>(SettingsOf<qwd_output_settings>, c);
}

qwd_result qwd_configure_input(const qwd_input_settings* c) {
    return Configure<qwd_input_settings>(SettingsOf<qwd_input_settings>, c);
}

qwd_result qwd_parse_output_settings(const char* text, qwd_output_settings* caller) {
    return ParseInto(text, caller);
}

qwd_result qwd_parse_input_settings(const char* text, qwd_input_settings* caller) {
    return ParseInto(text, caller);
}

qwd_result qwd_configure_output_text(const char* text) {
    return Configure<qwd_output_settings>(Parse<qwd_output_settings>, text);
}

qwd_result qwd_configure_input_text(const char* text) {
    return Configure<qwd_input_settings>(Parse<qwd_input_settings>, text);
}

qwd_result qwd_output_settings_in_force(qwd_output_settings* settings) {
    return InForce(settings);
}

qwd_result qwd_input_settings_in_force(qwd_input_settings* settings) {
    return InForce(settings);
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
