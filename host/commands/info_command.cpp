// info: what libsndfile says of a file beside what the module would read at bytes 22-35, and
// how quorvel would play it; as text, or as one JSON object for scripts.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <vector>

#include "commands/commands.h"
#include "cli/problem.h"
#include "media/play_items.h"
#include "cli/text.h"

namespace quorvel::host {
namespace {

constexpr long kCountingFrames = 1 << 16;

// What info learns of a file.
struct Findings {
    PlayItem item;
    bool playable = false;
    Problem problem;             // why quorvel would not play it
    bool decodable = false;      // libsndfile opens it
    SoundFacts facts;            // when decodable
    bool framesCounted = false;  // the header gave no count, so the frames were decoded
};

Findings Examine(const std::string& file, bool asIs) {
    Findings findings;
    PlayItem& item = findings.item;
    item.file = file;
    item.path = file;
    item.name = Quoted(file);
    findings.playable = PreparePlayItem(asIs, &item, &findings.problem);
    Problem unused;
    const WavVerdict verdict = item.wav.verdict;
    const bool noFile = verdict == WavVerdict::kMissing || verdict == WavVerdict::kNotAFile ||
                        verdict == WavVerdict::kUnreadable;
    std::unique_ptr<SoundFile> sound = noFile ? nullptr : OpenForDecoding(item, &unused);
    if (!sound) return findings;
    findings.decodable = true;
    findings.facts = sound->facts();
    if (findings.facts.frames < 0) {
        // MPEG without a length in its header: counted, as playing it would.
        std::vector<std::int16_t> samples(static_cast<std::size_t>(kCountingFrames) *
                                          findings.facts.channels);
        std::int64_t frames = 0;
        for (long got; (got = sound->Read(samples.data(), kCountingFrames)) > 0;) frames += got;
        findings.facts.frames = frames;
        findings.framesCounted = true;
    }
    return findings;
}

double DurationOf(const SoundFacts& facts) {
    return facts.rate > 0 ? static_cast<double>(facts.frames) / facts.rate : 0;
}

std::string Verdict(const Findings& findings) {
    if (!findings.playable) return "refused";
    return findings.item.decode ? "converted" : "as is";
}

void PrintText(const Findings& findings) {
    const PlayItem& item = findings.item;
    const WavReport& report = item.wav;
    std::printf("File              %s, %" PRIu64 " bytes\n", item.name.c_str(), report.fileBytes);
    if (findings.decodable) {
        const SoundFacts& facts = findings.facts;
        std::printf("libsndfile reads\n");
        std::printf("  Container       %s\n", Quoted(facts.container).c_str());
        std::printf("  Codec           %s\n", Quoted(facts.codec).c_str());
        if (facts.bits != 0) std::printf("  Bits            %d\n", facts.bits);
        std::printf("  Rate            %d Hz\n", facts.rate);
        std::printf("  Channels        %d\n", facts.channels);
        std::printf("  Frames          %" PRId64 "%s\n", facts.frames,
                    findings.framesCounted ? " (counted: the header gives none)" : "");
        std::printf("  Duration        %s s\n", Seconds(DurationOf(facts)).c_str());
        for (const auto& [tag, value] : facts.tags) {
            std::printf("  %-15s %s\n",
                        (std::string(1, static_cast<char>(tag[0] - 32)) + tag.substr(1)).c_str(),
                        Quoted(value).c_str());
        }
    }
    if (report.formatRead) {
        std::printf("The module reads bytes 22-35\n");
        std::printf("Format            %s\n", FormatTagName(report.formatTag).c_str());
        const ModuleFormat& format = report.format;
        std::printf("Channels          %u\n", static_cast<unsigned>(format.channels));
        std::printf("Sample rate       %" PRIu32 " Hz\n", format.samplesPerSec);
        std::printf("Bytes per second  %" PRIu32 "\n", format.avgBytesPerSec);
        std::printf("Block align       %u\n", static_cast<unsigned>(format.blockAlign));
        std::printf("Bits per sample   %u\n", static_cast<unsigned>(format.bitsPerSample));
        if (report.hasDataChunk) {
            std::printf("Data chunk        %" PRIu64 " bytes, samples from byte %" PRIu64 "\n",
                        report.dataBytes, report.dataOffset);
        } else {
            std::printf("Data chunk        none\n");
        }
        std::printf("Chunks            %s\n", report.chunks.c_str());
    }
    if (report.Playable()) {
        std::printf("Module plays      %" PRIu64 " bytes from byte 44 in %" PRIu64
                    " block(s) of 4000 bytes, %s s\n",
                    report.playedBytes, report.blocks, Seconds(report.PlaySeconds()).c_str());
    }
    if (findings.playable) {
        std::printf("quorvel plays it  %s\n",
                    item.decode ? ("converted: " + ConversionNote(item.facts)).c_str()
                                : "as it is, every byte from 44 on");
    }
    // What the module would do with the file as it is, converted or not.
    for (const std::string& warning : report.warnings)
        std::printf("Warning: %s\n", warning.c_str());
}

void PrintJson(const Findings& findings) {
    using Json = nlohmann::ordered_json;
    const PlayItem& item = findings.item;
    const WavReport& report = item.wav;
    Json json = {{"file", item.file}, {"bytes", report.fileBytes}, {"libsndfile", nullptr}};
    if (findings.decodable) {
        const SoundFacts& facts = findings.facts;
        Json tags = Json::object();
        for (const auto& [name, value] : facts.tags) tags[name] = value;
        json["libsndfile"] = {{"container", facts.container},
                              {"codec", facts.codec},
                              {"bits", facts.bits != 0 ? Json(facts.bits) : Json()},
                              {"rate", facts.rate},
                              {"channels", facts.channels},
                              {"frames", facts.frames},
                              {"framesCounted", findings.framesCounted},
                              // Two decimals, as the text report gives them.
                              {"seconds", std::strtod(Seconds(DurationOf(facts)).c_str(), nullptr)},
                              {"tags", tags}};
    }
    json["module"] = nullptr;
    if (report.formatRead) {
        const ModuleFormat& format = report.format;
        const auto ifData = [&](std::uint64_t value) {
            return report.hasDataChunk ? Json(value) : Json();
        };
        json["module"] = {{"formatTag", FormatTagName(report.formatTag)},
                          {"channels", format.channels},
                          {"sampleRate", format.samplesPerSec},
                          {"bytesPerSecond", format.avgBytesPerSec},
                          {"blockAlign", format.blockAlign},
                          {"bitsPerSample", format.bitsPerSample},
                          {"dataOffset", ifData(report.dataOffset)},
                          {"dataBytes", ifData(report.dataBytes)},
                          {"chunks", report.chunks},
                          {"playedBytes", report.playedBytes},
                          {"blocks", report.blocks}};
    }
    json["plays"] = Verdict(findings);
    if (item.decode) json["conversion"] = ConversionNote(item.facts);
    if (!findings.playable) json["problem"] = findings.problem.sentence;
    json["warnings"] = report.warnings;
    std::printf("%s\n", JsonLine(json).c_str());
}

}  // namespace

namespace {

// One file's report; *printed says whether it put anything on standard output.
int ReportFile(const std::string& file, bool asIs, bool json, bool separated, bool* printed) {
    const Findings findings = Examine(file, asIs);
    const WavReport& report = findings.item.wav;
    const bool known = findings.decodable || report.formatRead;
    *printed = json || known;
    if (*printed && separated && !json) std::printf("\n");
    if (json) {
        PrintJson(findings);
    } else if (known) {
        PrintText(findings);
    }
    std::fflush(stdout);
    return findings.playable ? kExitOk : Report(findings.problem);
}

}  // namespace

int RunInfo(const std::vector<std::string>& files, bool asIs, bool json) {
    // As soxi: each file in turn, a blank line between the texts, and the worst status.
    int worst = kExitOk;
    bool printedBefore = false;
    for (const std::string& file : files) {
        bool printed = false;
        worst = std::max(worst, ReportFile(file, asIs, json, printedBefore, &printed));
        printedBefore = printedBefore || printed;
    }
    return worst;
}

}  // namespace quorvel::host
