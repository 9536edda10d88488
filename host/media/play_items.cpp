#include "media/play_items.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdint>
#include <vector>

#include "system/devices.h"

namespace quorvel::host {
namespace {

constexpr long kProbeFrames = 1024;

// Decoded files reach the device as 16-bit PCM in the file's channels and rate.
bool DevicePlaysDecoded(const PlayItem& item, const SoundFacts& facts, Problem* problem) {
    // Counts no 16-bit record can hold are clamped to one the device refuses just the same.
    const auto channels = static_cast<std::uint16_t>(std::clamp(facts.channels, 0, 0x7FFF));
    const auto rate = static_cast<std::uint32_t>(std::max(facts.rate, 0));
    const std::string reason =
        PcmRefusal(channels, rate, static_cast<std::uint16_t>(channels * 2), 16);
    if (reason.empty()) return true;
    return Fail(problem, kExitFile, item.name + " cannot be played: it has " + reason + ".");
}

bool TakeSnapshot(const std::string& path, PlayItem::Snapshot* snapshot) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return false;
    snapshot->device = info.st_dev;
    snapshot->inode = info.st_ino;
    snapshot->size = info.st_size;
    snapshot->modifiedNs =
        static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    return true;
}

}  // namespace

bool StillAsChecked(const PlayItem& item, Problem* problem) {
    PlayItem::Snapshot now;
    if (!TakeSnapshot(item.path, &now)) {
        return Fail(problem, kExitFile,
                    "Cannot play " + item.name + ": " + std::strerror(errno) +
                        " (it was there when quorvel started).");
    }
    if (!(now == item.checked)) {
        return Fail(problem, kExitFile,
                    "Cannot play " + item.name +
                        ": it was replaced or changed after quorvel checked it; play it again.");
    }
    if (::access(item.path.c_str(), R_OK) != 0) {
        return Fail(problem, kExitFile,
                    "Cannot play " + item.name + ": " + std::strerror(errno) + ".");
    }
    return true;
}

std::unique_ptr<SoundFile> OpenForDecoding(const PlayItem& item, Problem* problem) {
    auto file = std::make_unique<SoundFile>();
    if (!file->Open(item.path, item.name, item.wav, problem)) return nullptr;
    return file;
}

bool PreparePlayItem(bool asIs, PlayItem* item, Problem* problem) {
    TakeSnapshot(item->path, &item->checked);
    item->wav = InspectWav(item->path, item->name);
    // A folder, a FIFO, a missing or unreadable file: nobody can decode it either.
    const WavVerdict verdict = item->wav.verdict;
    if (verdict == WavVerdict::kMissing || verdict == WavVerdict::kNotAFile ||
        verdict == WavVerdict::kUnreadable || asIs) {
        if (!item->wav.Playable()) return Fail(problem, kExitFile, item->wav.problem);
        return true;
    }
    if (item->wav.canonical) return true;

    std::unique_ptr<SoundFile> file = OpenForDecoding(*item, problem);
    if (!file) return false;
    if (!DevicePlaysDecoded(*item, file->facts(), problem)) return false;
    // A file that opens but yields nothing (a FLAC of STREAMINFO only, an Ogg of header pages
    // only) is refused, never played as silence.
    std::vector<std::int16_t> first(static_cast<std::size_t>(kProbeFrames) *
                                    file->facts().channels);
    const long got = file->Read(first.data(), kProbeFrames);
    if (got <= 0) {
        return Fail(problem, kExitFile,
                    item->name + " holds no audio: libsndfile opens it as " +
                        file->facts().summary + " but decodes no samples from it" +
                        (got < 0 ? " (" + file->error() + ")" : std::string()) + ".");
    }
    item->decode = true;
    item->facts = file->facts();
    return true;
}

std::string ConversionNote(const SoundFacts& facts) {
    return "decoded " + facts.summary + ", " + std::to_string(facts.rate) + " Hz, " +
           std::to_string(facts.channels) + (facts.channels == 1 ? " channel" : " channels") +
           " to 16-bit PCM for the module" +
           (facts.sixteenBitPcm ? " (the samples copied as they are)" : "");
}

PlayFormat FormatOf(const PlayItem& item) {
    if (item.decode) {
        return PlayFormat{item.facts.channels, static_cast<std::uint32_t>(item.facts.rate), 16,
                          item.facts.channels * 2};
    }
    const ModuleFormat& format = item.wav.format;
    return PlayFormat{format.channels, format.samplesPerSec, format.bitsPerSample,
                      format.blockAlign};
}

}  // namespace quorvel::host
