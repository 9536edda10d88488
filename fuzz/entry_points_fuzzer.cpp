// Fuzzes the four entry points as a host might drive them: in any order, with arbitrary paths
// (null, empty, too long, invalid UTF-16, directories, a FIFO, files written from the input),
// while device calls fail, with devices held and released by their gates, and with the module
// unloaded and loaded again (dlclose/dlopen of the built library) in between.
//
// The input is a program: each action is one byte, followed by the bytes of its arguments.
// Checked: the results are ones the entry points may return; a recording ended is a valid WAV
// of whole blocks; once the module has ended everything (stopped, or unloaded) no device and
// no file descriptor is left open. A call the module makes to end a device (reset, stop,
// close) fails at most once in a row here: a device that refuses for good cannot be ended by
// anyone, but one failed call must not make the module lose a device that still holds its
// buffer and its handler.
#include <dlfcn.h>
#include <mmsystem.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "QuorvelWaveForm.h"
#include "quorvel/device_testing.hpp"

namespace {

namespace device = quorvel::device;
using Bytes = std::vector<std::uint8_t>;

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "entry_points_fuzzer: %s\n", what.c_str());
    std::abort();
}

// ---- The module, loaded with dlopen -----------------------------------------------------

struct Module {
    void* library = nullptr;
    PlayWavWaveFormFn play = nullptr;
    PlayWavWaveFormStopFn toggle = nullptr;
    WaveRecordWaveFormFn record = nullptr;
    WaveRecordWaveFormStopFn stop = nullptr;
};
Module module;

template <typename Function>
Function Entry(const char* name) {
    auto* const function = reinterpret_cast<Function>(dlsym(module.library, name));
    if (function == nullptr) Fail(std::string("the module does not export ") + name);
    return function;
}

void Load() {
    module.library = dlopen(QWF_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    if (module.library == nullptr) Fail(std::string("dlopen: ") + dlerror());
    module.play = Entry<PlayWavWaveFormFn>("PlayWavWaveForm");
    module.toggle = Entry<PlayWavWaveFormStopFn>("PlayWavWaveFormStop");
    module.record = Entry<WaveRecordWaveFormFn>("WaveRecordWaveForm");
    module.stop = Entry<WaveRecordWaveFormStopFn>("WaveRecordWaveFormStop");
}

void ExpectNoDeviceOpen(const char* when) {
    if (device::OpenOutputDevices() != 0 || device::OpenInputDevices() != 0) {
        Fail(std::string("a device the module opened is still open ") + when + " (" +
             std::to_string(device::OpenOutputDevices()) + " output, " +
             std::to_string(device::OpenInputDevices()) + " input)");
    }
}

void Unload() {
    if (dlclose(module.library) != 0) Fail(std::string("dlclose: ") + dlerror());
    module = Module{};
    ExpectNoDeviceOpen("after the module was unloaded");
}

// ---- The input, read as a program -------------------------------------------------------

class Program {
  public:
    Program(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool Done() const { return at_ >= size_; }
    // Past the end every byte reads as 0.
    std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    Bytes Take(std::size_t count) {
        const std::size_t taken = std::min(count, size_ - std::min(at_, size_));
        Bytes bytes(data_ + at_, data_ + at_ + taken);
        at_ += taken;
        return bytes;
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// ---- Paths -----------------------------------------------------------------------------

std::string folder;  // this process's scratch folder, emptied before every input
constexpr int kFileSlots = 3;

std::string SlotPath(int slot) {
    return folder + "/slot" + std::to_string(slot) + ".wav";
}

std::u16string Wide(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

struct PathChoice {
    std::u16string text;
    bool isNull = false;
    std::string file;  // the file it names, when it names one here
};

PathChoice ChoosePath(Program& program) {
    const std::uint8_t choice = program.Byte();
    PathChoice path;
    switch (choice % 12) {
        case 0:
            path.isNull = true;
            break;
        case 1:
            break;  // empty
        case 2:
        case 3:
        case 4:
            path.file = SlotPath(choice % 12 - 2);
            path.text = Wide(path.file);
            break;
        case 5: {  // 199 characters (the longest playback accepts) or 200 (one too many)
            const std::size_t length = 199 + (choice / 12) % 2;
            path.file = folder + "/";
            path.file += std::string(length - path.file.size() - 4, 'n') + ".wav";
            path.text = Wide(path.file);
            break;
        }
        case 6:
            path.text = Wide(folder + "/" + std::string(5000, 'x'));
            break;
        case 7:  // an unpaired surrogate, high or low
            path.text = Wide(folder + "/bad") +
                        static_cast<char16_t>(choice & 1 ? 0xD800 : 0xDC00) + u".wav";
            break;
        case 8:
            path.text = Wide(folder);
            break;
        case 9:
            path.text = Wide(folder + "/missing/x.wav");
            break;
        case 10:
            path.text = Wide(folder + "/fifo");
            break;
        default: {  // code units from the input; '/' replaced so the path stays in the folder
            path.text = Wide(folder + "/raw-");
            const std::size_t count = program.Byte() % 24;
            for (std::size_t i = 0; i < count; ++i) {
                auto unit = static_cast<char16_t>(program.Byte() | (program.Byte() << 8));
                if (unit == 0) break;
                path.text += unit == u'/' ? u'_' : unit;
            }
            break;
        }
    }
    return path;
}

// Writes one of the file slots from the input and returns its path.
std::string WriteSlot(Program& program) {
    const int slot = program.Byte() % kFileSlots;
    const std::uint8_t kind = program.Byte();
    Bytes bytes;
    if (kind % 2 == 0) {
        // A canonical header with format fields from the input, then samples from the input.
        const Bytes fields = program.Take(14);
        const char riff[] = "RIFF\0\0\0\0WAVEfmt \x10\0\0\0\x01\0";
        bytes.assign(riff, riff + 22);
        bytes.insert(bytes.end(), fields.begin(), fields.end());
        bytes.resize(36, 0);
        const char data[] = "data\0\0\0\0";
        bytes.insert(bytes.end(), data, data + 8);
    }
    const Bytes samples = program.Take(std::size_t{program.Byte()} * 64);
    bytes.insert(bytes.end(), samples.begin(), samples.end());
    std::ofstream(SlotPath(slot), std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return SlotPath(slot);
}

// ---- Checks ----------------------------------------------------------------------------

std::uint32_t U32At(const Bytes& bytes, std::size_t offset) {
    return static_cast<std::uint32_t>(bytes[offset] | (bytes[offset + 1] << 8) |
                                      (bytes[offset + 2] << 16) |
                                      (static_cast<std::uint32_t>(bytes[offset + 3]) << 24));
}

// A recording the module has ended: a canonical 8000 Hz mono 16-bit header describing exactly
// the whole blocks in the file, no more than were captured.
void CheckRecording(const std::string& path, std::int32_t blocksCaptured) {
    std::ifstream in(path, std::ios::binary);
    const Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    static const std::uint8_t kFormat[] = {
        'W',  'A',  'V', 'E', 'f',  'm',  't', ' ', 16, 0, 0,  0, 1,   0,   1,   0,
        0x40, 0x1F, 0,   0,   0x80, 0x3E, 0,   0,   2,  0, 16, 0, 'd', 'a', 't', 'a'};
    if (file.size() < 44 || std::string(file.begin(), file.begin() + 4) != "RIFF" ||
        !std::equal(std::begin(kFormat), std::end(kFormat), file.begin() + 8)) {
        Fail("recording " + path + " has no valid header (" + std::to_string(file.size()) +
             " bytes)");
    }
    const std::uint32_t dataSize = U32At(file, 40);
    if (dataSize % 4000 != 0 || U32At(file, 4) != dataSize + 36 ||
        file.size() != 44 + std::size_t{dataSize}) {
        Fail("recording " + path + ": header sizes " + std::to_string(U32At(file, 4)) + "/" +
             std::to_string(dataSize) + " for " + std::to_string(file.size()) + " bytes");
    }
    if (blocksCaptured < 0 || dataSize / 4000 > static_cast<std::uint32_t>(blocksCaptured)) {
        Fail("recording " + path + " holds more blocks than were captured");
    }
}

void CheckPlayResult(std::int32_t result) {
    if (result != WF_DONE) Fail("a playback entry point returned " + std::to_string(result));
}

// Open file descriptors on files in the scratch folder, as "fd -> path".
std::string DescriptorsInFolder() {
    std::string open;
    std::error_code gone;  // the iterator's own descriptor is listed but gone when read
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        const std::string target = std::filesystem::read_symlink(entry.path(), gone).string();
        if (target.rfind(folder, 0) == 0)
            open += "\n  " + entry.path().filename().string() + " -> " + target;
    }
    return open;
}

// ---- One input -------------------------------------------------------------------------

struct Session {
    std::string recordingFile;  // the file of the capture running, if it writes one
    bool recordingTampered = false;
};

// Called when the module has ended the capture that wrote `session.recordingFile`.
void RecordingEnded(Session& session, std::int32_t blocks) {
    if (!session.recordingFile.empty() && !session.recordingTampered) {
        CheckRecording(session.recordingFile, blocks);
    }
    session.recordingFile.clear();
    session.recordingTampered = false;
}

void Record(Program& program, Session& session) {
    const PathChoice path = ChoosePath(program);
    const std::string previous = session.recordingFile;
    const bool previousTampered = session.recordingTampered;
    const std::int32_t result =
        module.record(path.isNull ? nullptr : path.text.c_str(), 0x000000FF, 0x00FFFFFF);
    if (result != WF_DONE && result != WF_ERR_OPEN && result != WF_ERR_QUEUE &&
        result != WF_ERR_START && result != WF_ERR_FILE) {
        Fail("WaveRecordWaveForm returned " + std::to_string(result));
    }
    // The capture before was ended first; its file is complete unless the new start replaced
    // it, which a start failing before its file is opened never does.
    const bool fileUntouched = result == WF_ERR_OPEN || result == WF_ERR_QUEUE;
    if (!previous.empty() && !previousTampered && (previous != path.file || fileUntouched)) {
        CheckRecording(previous, 0x7FFFFFFF);
    }
    // Only a start that got as far as writing the placeholder header has a file of its own.
    const bool fileWritten = result == WF_DONE || result == WF_ERR_START;
    session.recordingFile = fileWritten && !path.file.empty() ? path.file : "";
    session.recordingTampered = false;
}

bool EndsADevice(qwd_op op) {
    return op == QWD_OP_OUT_RESET || op == QWD_OP_OUT_CLOSE || op == QWD_OP_IN_STOP ||
           op == QWD_OP_IN_RESET || op == QWD_OP_IN_CLOSE;
}

void InjectFault(Program& program) {
    static const unsigned kCodes[] = {MMSYSERR_ERROR, MMSYSERR_INVALHANDLE, MMSYSERR_NODRIVER,
                                      MMSYSERR_NOMEM, WAVERR_BADFORMAT,     WAVERR_STILLPLAYING};
    const auto op = static_cast<qwd_op>(program.Byte() % (static_cast<int>(QWD_OP_IN_CLOSE) + 1));
    const unsigned code = kCodes[program.Byte() % 6];
    const int skip = program.Byte() % 4;
    const bool everyCall = program.Byte() % 3 == 2 && !EndsADevice(op);
    device::InjectFault(op, code, skip, everyCall ? -1 : 1);
}

void Run(Program& program, Session& session) {
    constexpr int kMostActions = 48;
    for (int action = 0; action < kMostActions && !program.Done(); ++action) {
        switch (program.Byte() % 12) {
            case 0: {
                const PathChoice path = ChoosePath(program);
                CheckPlayResult(
                    module.play(path.isNull ? nullptr : path.text.c_str(), 0x0000FF00, 0));
                break;
            }
            case 1:
                CheckPlayResult(module.toggle());
                break;
            case 2:
                Record(program, session);
                break;
            case 3:
                RecordingEnded(session, module.stop());
                break;
            case 4:
                InjectFault(program);
                break;
            case 5:
                device::ClearFaults();
                break;
            case 6:  // unload (which ends playback and capture), let the devices run, load again
                Unload();
                RecordingEnded(session, 0x7FFFFFFF);
                std::this_thread::sleep_for(std::chrono::microseconds(program.Byte() * 4));
                Load();
                break;
            case 7:
                // Overwriting the file being recorded spoils it for the check, not for the module.
                if (WriteSlot(program) == session.recordingFile) session.recordingTampered = true;
                break;
            case 8:
                device::SetOutputGate(static_cast<long>(program.Byte() % 4) - 1);
                break;
            case 9:
                device::SetInputGate(program.Byte() % 4);  // never unlimited: files stay small
                break;
            case 10:
                std::this_thread::sleep_for(std::chrono::microseconds(program.Byte() * 4));
                break;
            default:
                device::WaitOutputIdle(std::chrono::milliseconds(program.Byte() % 4));
                break;
        }
    }
}

void PrepareFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    std::filesystem::create_directory(folder);
    if (mkfifo((folder + "/fifo").c_str(), 0600) != 0) Fail("mkfifo");
}

void ConfigureDevices() {
    device::ResetAll();
    device::OutputSettings output;
    output.pace = QWD_PACE_FAST;
    device::InputSettings input;
    input.pace = QWD_PACE_FAST;
    input.source = "ramp";
    if (!device::ConfigureOutput(output) || !device::ConfigureInput(input)) Fail("configure");
    device::SetInputGate(2);
}

// Stops everything, then checks nothing is left behind.
void EndInput(Session& session) {
    device::ClearFaults();
    device::SetInputGate(0);
    device::SetOutputGate(-1);
    RecordingEnded(session, module.stop());
    CheckPlayResult(module.play(nullptr, 0, 0));  // ends the playback, opens nothing
    ExpectNoDeviceOpen("after playback and capture were ended");
    const std::string descriptors = DescriptorsInFolder();
    if (!descriptors.empty()) Fail("files left open:" + descriptors);
}

void RemoveFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/tmp/qwf-entry-fuzz-XXXXXX";
    if (mkdtemp(pattern) == nullptr) Fail("cannot create a temporary folder");
    folder = pattern;
    std::atexit(RemoveFolder);
    ConfigureDevices();
    Load();
    PrepareFolder();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    PrepareFolder();
    ConfigureDevices();
    Session session;
    Program program(data, size);
    Run(program, session);
    EndInput(session);
    return 0;
}
