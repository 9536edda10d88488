// The files of a play command, each checked before anything plays: played as it is (a
// canonical PCM WAV, or anything with --as-is) or decoded with libsndfile, or refused.
#ifndef QUORVEL_HOST_PLAY_ITEMS_H
#define QUORVEL_HOST_PLAY_ITEMS_H

#include <cstdint>
#include <memory>
#include <string>

#include "media/sound_file.h"
#include "media/wav_check.h"

#include "cli/problem.h"

namespace quorvel::host {

// "-" on the command line: the file comes on standard input.
constexpr const char* kStandardInputName = "-";

struct PlayItem {
    std::string file;   // as given
    std::string path;   // as opened: the file, or standard input stored in a temporary file
    std::string name;   // quoted, for sentences
    std::string label;  // short and printable, for the status line and the summary
    WavReport wav;      // what the module would read
    bool decode = false;
    SoundFacts facts;  // when decoded
    // The file as it was checked, to notice one removed or rewritten before its turn.
    struct Snapshot {
        std::uint64_t device = 0;
        std::uint64_t inode = 0;
        std::int64_t size = -1;
        std::int64_t modifiedNs = 0;
        bool operator==(const Snapshot& other) const {
            return device == other.device && inode == other.inode && size == other.size &&
                   modifiedNs == other.modifiedNs;
        }
    } checked;
};

// Decides how `item` (file, path, name and label set) is played. False, with one sentence
// naming the file in *problem, when it cannot be played at all.
bool PreparePlayItem(bool asIs, PlayItem* item, Problem* problem);

// The item's file is still the one PreparePlayItem checked, and readable. False, with one
// sentence naming it in *problem, when it is gone, unreadable or changed.
bool StillAsChecked(const PlayItem& item, Problem* problem);

// Opens the item's file for decoding again, now that it is its turn.
std::unique_ptr<SoundFile> OpenForDecoding(const PlayItem& item, Problem* problem);

// "decoded FLAC, 24-bit, 44100 Hz, 2 channels to 16-bit PCM for the module".
std::string ConversionNote(const SoundFacts& facts);

// The WAV the module plays, described as the device will open it.
struct PlayFormat {
    int channels = 0;
    std::uint32_t rate = 0;
    int bits = 0;
    int blockAlign = 0;
};
PlayFormat FormatOf(const PlayItem& item);

}  // namespace quorvel::host

#endif
