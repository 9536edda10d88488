// quorvel: plays WAV files and records from the input device through the QuorvelWaveForm
// module, with its live oscilloscope trace shown in the terminal or a window.
#include <CLI/CLI.hpp>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include "commands/commands.h"
#include "session/console.h"
#include "cli/problem.h"
#include "cli/device_options.h"
#include "cli/option_values.h"
#include "cli/text.h"

namespace {

using quorvel::host::Direction;
using quorvel::host::ViewKind;

const CLI::Validator kColor(
    [](std::string& text) -> std::string {
        std::uint32_t colorref = 0;
        if (quorvel::host::ParseColor(text, &colorref)) return {};
        return "\"" + text + "\" is not a colour; give it as #RRGGBB, e.g. #33FF33";
    },
    "");

const CLI::Validator kView(
    [](std::string& text) -> std::string {
        if (text == "terminal" || text == "window" || text == "none") return {};
        return "\"" + text + "\" is not a view; use terminal, window or none";
    },
    "");

// Parses the value into *option as it is checked, so it is parsed once (a name means a round
// trip to the sound server).
CLI::Validator DeviceOptionCheck(Direction direction, quorvel::host::DeviceOption* option) {
    return CLI::Validator(
        [direction, option](std::string& text) -> std::string {
            quorvel::host::Problem problem;
            return quorvel::host::ParseDeviceOption(direction, text, option, &problem)
                       ? std::string()
                       : problem.sentence;
        },
        "");
}

const CLI::Validator kSeconds(
    [](std::string& text) -> std::string {
        char* end = nullptr;
        errno = 0;
        const double seconds = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0' || errno != 0 || !std::isfinite(seconds) || seconds <= 0 ||
            seconds > quorvel::host::kMaxCaptureSeconds) {
            return "\"" + text + "\" is not a number of seconds above 0 and at most " +
                   std::to_string(static_cast<std::uint64_t>(quorvel::host::kMaxCaptureSeconds));
        }
        return {};
    },
    "");

// Options every live command has; filled in by CLI11, turned into SessionOptions after parsing.
struct LiveOptionTexts {
    std::string traceColor = quorvel::host::kDefaultTraceColor;
    std::string backColor = quorvel::host::kDefaultBackColor;
    std::string view;
    std::string png;
    std::string frames;
    bool fast = false;
};

void AddLiveOptions(CLI::App* command, LiveOptionTexts* texts, const char* fastHelp) {
    command->add_flag("--fast", texts->fast, fastHelp);
    command->add_option("--trace-color", texts->traceColor, "Trace colour")
        ->check(kColor)
        ->type_name("#RRGGBB")
        ->capture_default_str();
    command->add_option("--back-color", texts->backColor, "Panel background colour")
        ->check(kColor)
        ->type_name("#RRGGBB")
        ->capture_default_str();
    command
        ->add_option("--view", texts->view,
                     "terminal (the default on a terminal), window (SDL2) or none")
        ->check(kView)
        ->type_name("VIEW");
    command->add_option("--png", texts->png, "Write the screen to this PNG file at the end")
        ->type_name("PATH");
    command
        ->add_option("--frames", texts->frames,
                     "Write one PNG per drawn block here: 00000.png, 00001.png, ...")
        ->type_name("DIR");
}

void FillSession(const LiveOptionTexts& texts, const std::string& modulePath,
                 quorvel::host::SessionOptions* options) {
    options->modulePath = modulePath;
    quorvel::host::ParseColor(texts.traceColor, &options->traceColor);
    quorvel::host::ParseColor(texts.backColor, &options->backColor);
    if (texts.view == "terminal") {
        options->view = ViewKind::kTerminal;
    } else if (texts.view == "window") {
        options->view = ViewKind::kWindow;
    } else if (texts.view == "none") {
        options->view = ViewKind::kNone;
    } else {
        // As aplay -q: nothing but errors unless the picture is asked for by name.
        options->view = quorvel::host::StderrIsTerminal() && !quorvel::host::Quiet()
                            ? ViewKind::kTerminal
                            : ViewKind::kNone;
    }
    options->png = texts.png;
    options->frames = texts.frames;
    options->fast = texts.fast;
}

constexpr const char* kEnvironmentHelp =
    "Environment: QUORVEL_MODULE (the module to load); QUORVEL_OUTPUT and QUORVEL_INPUT (the\n"
    "default devices, e.g. virtual,fast,sink=/tmp/played.raw).";

// A command's own details, then what every command shares.
std::string Footer(const std::string& details = {}) {
    return (details.empty() ? "" : details + "\n\n") + quorvel::host::kExitCodesHelp + "\n" +
           kEnvironmentHelp;
}

int Main(int argc, char** argv) {
    CLI::App app{
        "Plays and records audio through the QuorvelWaveForm module, with its live "
        "oscilloscope trace.",
        "quorvel"};
    app.footer(
        Footer("With no sound device: play, record and monitor use the default device, which must\n"
               "answer, else they end with exit status 3 (nothing is recorded); --output null or\n"
               "--input silence show the trace without sound."));
    app.require_subcommand(1);
    std::string modulePath;
    app.add_option("--module", modulePath,
                   "The module to load (else $QUORVEL_MODULE, or the one beside this program)")
        ->type_name("PATH");
    bool quiet = false;
    app.add_flag("-q,--quiet", quiet,
                 "Show only errors: no status lines, warnings or summaries, and no picture "
                 "unless --view asks for one");
    // Defined after --module, so its value is in when the flag's callback ends the parse.
    app.set_version_flag("-V,--version", std::string(),
                         "Print quorvel's, the module's and the device services' versions");

    quorvel::host::PlayOptions play;
    LiveOptionTexts playTexts;
    CLI::App* playCommand =
        app.add_subcommand("play", "Play sound files in turn with the live trace");
    playCommand
        ->add_option("FILE", play.files,
                     "Sound files (any format libsndfile reads); - reads one from standard input")
        ->required()
        ->type_name("");
    std::string outputText = play.output.text;
    playCommand
        ->add_option("--output", outputText,
                     quorvel::host::DeviceWords(Direction::kOutput, true) +
                         " or a sound device's name (see quorvel devices)")
        ->check(DeviceOptionCheck(Direction::kOutput, &play.output))
        ->type_name("DEV")
        ->capture_default_str();
    playCommand->add_flag("--as-is", play.asIs,
                          "Hand every file to the module untouched, as the module reads it");
    AddLiveOptions(playCommand, &playTexts, "Run the virtual output as fast as possible");
    playCommand->footer(Footer(
        "Keys: space pauses and resumes, n skips to the next file, q quits (so do Ctrl-C and\n"
        "SIGTERM). The default output is the sound device; where none can be used, play ends\n"
        "with status 3 (--output null shows the trace without sound). A canonical PCM WAV (44-byte "
        "header, 8- or 16-bit) goes to the module as it is;\n"
        "anything else libsndfile decodes (WAV codecs, RF64, RIFX, AIFF, AU, CAF, FLAC, Ogg\n"
        "Vorbis and Opus, MP3) is decoded into a temporary 16-bit PCM WAV first, and a line\n"
        "says so. With --as-is the module reads each file itself: it takes the format from\n"
        "bytes 22-35 and plays from byte 44, so formats the device cannot play are refused and\n"
        "layouts it misreads are warned of. With - the file comes on standard input, and keys\n"
        "are not read."));

    quorvel::host::RecordOptions record;
    LiveOptionTexts recordTexts;
    CLI::App* recordCommand = app.add_subcommand(
        "record", "Record " + quorvel::host::CaptureFormatText() + " audio into a WAV file");
    recordCommand
        ->add_option("FILE", record.file,
                     "The WAV file to write; - writes a WAV stream to standard output")
        ->required()
        ->type_name("");
    recordCommand->footer(Footer(
        "The recording ends at --seconds, Enter, q, Ctrl-C or SIGTERM, and the file is complete\n"
        "however it ends. With --fast, --seconds is needed and counts audio time."));

    quorvel::host::RecordOptions monitor;
    LiveOptionTexts monitorTexts;
    CLI::App* monitorCommand =
        app.add_subcommand("monitor", "Show the live trace of the input, recording nothing");
    monitorCommand->footer(Footer("It ends at --seconds, Enter, q or Ctrl-C."));

    std::string inputTexts[2] = {record.input.text, monitor.input.text};
    for (auto [command, options, texts, inputText] :
         {std::tuple{recordCommand, &record, &recordTexts, &inputTexts[0]},
          std::tuple{monitorCommand, &monitor, &monitorTexts, &inputTexts[1]}}) {
        command
            ->add_option("--input", *inputText,
                         quorvel::host::DeviceWords(Direction::kInput, true) +
                             " or a sound device's name (see quorvel devices)")
            ->check(DeviceOptionCheck(Direction::kInput, &options->input))
            ->type_name("DEV")
            ->capture_default_str();
        command
            ->add_option("--seconds", options->seconds,
                         "Stop after this much audio, in whole quarter-second blocks")
            ->check(kSeconds)
            ->type_name("S");
        AddLiveOptions(command, texts, "Run the virtual input as fast as possible");
    }

    std::vector<std::string> infoFiles;
    bool infoAsIs = false;
    bool infoJson = false;
    CLI::App* infoCommand = app.add_subcommand(
        "info", "Show what a sound file holds, what the module would read and how it would play");
    infoCommand->add_option("FILE", infoFiles, "The sound files, each reported in turn")
        ->required()
        ->type_name("");
    infoCommand->add_flag(
        "--as-is", infoAsIs,
        "Judge the file as play --as-is would: untouched, as the module reads it");
    infoCommand->add_flag("--json", infoJson,
                          "Print one JSON object a file, one a line, instead of text");
    infoCommand->footer(Footer(
        "Shows what libsndfile reads (container, codec, bits, rate, channels, frames, duration,\n"
        "tags) and what the module reads: the five format fields at bytes 22-35, every byte\n"
        "from 44 on played whatever the file's chunks say, with the data's length and the\n"
        "warnings; then whether quorvel plays the file as it is or converted. Several files\n"
        "are reported in turn; exit status 2 when it would refuse any of them."));

    CLI::App* devicesCommand =
        app.add_subcommand("devices", "List the sound devices --output and --input can name");
    std::string namesOf;
    // For the shell's completion, so it is not in --help.
    devicesCommand->add_option("--names", namesOf)
        ->check(CLI::IsMember({"output", "input"}))
        ->group("");
    devicesCommand->footer(Footer(
        "Names and descriptions are the sound server's, and * marks the device used when none\n"
        "is named. The values that are not sound devices follow each list."));

    for (CLI::App* command :
         {playCommand, recordCommand, monitorCommand, infoCommand, devicesCommand}) {
        command->fallthrough();  // --module may come after the command too
    }

    // CLI11 would say only that a command is required; name what was typed instead.
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--module") {
            ++i;
            continue;
        }
        if (word.empty() || word[0] == '-') continue;
        const std::vector<CLI::App*> commands = {playCommand, recordCommand, monitorCommand,
                                                 infoCommand, devicesCommand};
        if (std::none_of(commands.begin(), commands.end(),
                         [&](const CLI::App* command) { return command->get_name() == word; })) {
            std::fprintf(
                stderr,
                "quorvel: %s is not a command; use play, record, monitor, info or devices (see "
                "quorvel --help).\n",
                quorvel::host::Quoted(word).c_str());
            return quorvel::host::kExitUsage;
        }
        break;
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& help) {
        return app.exit(help);
    } catch (const CLI::CallForAllHelp& help) {
        return app.exit(help);
    } catch (const CLI::CallForVersion&) {
        return quorvel::host::RunVersion(modulePath);
    } catch (const CLI::ParseError& error) {
        std::string help = "quorvel --help";
        for (const CLI::App* command : app.get_subcommands()) {
            help = "quorvel " + command->get_name() + " --help";
        }
        std::string sentence = error.what();
        if (!sentence.empty() && sentence.back() == '.') sentence.pop_back();
        std::fprintf(stderr, "quorvel: %s (see %s).\n", sentence.c_str(), help.c_str());
        return quorvel::host::kExitUsage;
    }

    quorvel::host::SetQuiet(quiet);
    if (playCommand->parsed()) {
        FillSession(playTexts, modulePath, &play);
        return quorvel::host::RunPlay(play);
    }
    if (infoCommand->parsed()) return quorvel::host::RunInfo(infoFiles, infoAsIs, infoJson);
    if (devicesCommand->parsed()) return quorvel::host::RunDevices(namesOf);

    const bool recording = recordCommand->parsed();
    quorvel::host::RecordOptions& capture = recording ? record : monitor;
    FillSession(recording ? recordTexts : monitorTexts, modulePath, &capture);
    if (recording && capture.file.empty()) {
        std::fprintf(stderr,
                     "quorvel: record needs a file name; to watch the input without recording, "
                     "use quorvel monitor.\n");
        return quorvel::host::kExitUsage;
    }
    if (recording && capture.fast && capture.seconds <= 0) {
        std::fprintf(stderr,
                     "quorvel: record --fast needs --seconds, or the recording would grow as "
                     "fast as the disk allows.\n");
        return quorvel::host::kExitUsage;
    }
    return quorvel::host::RunRecord(capture);
}

// A standard descriptor that is closed would be taken by the next file opened, and keys or
// messages would then go to that file: each is opened on /dev/null instead.
void OpenClosedStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0) continue;
        const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) ::close(opened);
    }
}

}  // namespace

int main(int argc, char** argv) {
    OpenClosedStandardDescriptors();
    quorvel::host::IgnoreWriteSignals();
    quorvel::host::TakeOverEndingSignals();
    try {
        return Main(argc, argv);
    } catch (const std::bad_alloc&) {
        quorvel::host::Error("There is not enough memory to go on.");
    } catch (const std::system_error& error) {
        quorvel::host::Error("The system refused what quorvel needed (" + error.code().message() +
                             ").");
    } catch (const std::exception& error) {
        quorvel::host::Error(std::string("quorvel stopped on an unexpected error (") +
                             error.what() + ").");
    }
    return quorvel::host::kExitDevice;
}
