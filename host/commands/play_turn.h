// One file's turn in quorvel play: decoding it ahead of the module, the module's playback
// and the loop, pausing for the person and for the decoder, and what the turn came to.
#ifndef QUORVEL_HOST_COMMANDS_PLAY_TURN_H
#define QUORVEL_HOST_COMMANDS_PLAY_TURN_H

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "cli/problem.h"
#include "commands/commands.h"
#include "media/decoded_wav.h"
#include "media/play_items.h"
#include "session/session.h"

namespace quorvel::host {

enum class Ending { kPlayed, kSkipped, kQuit, kNotReached };

struct Outcome {
    Ending ending = Ending::kNotReached;
    std::uint64_t blocksPlayed = 0;
    std::uint64_t blocks = 0;
    double seconds = 0;  // of the whole file as played
    double bytesPerSecond = 0;
};

// One file's turn: decoding, the module's playback and the loop, and what it came to.
class Turn {
  public:
    Turn(const PlayOptions& options, Session& session, const PlayItem& item, std::size_t index,
         std::size_t count)
        : options_(options),
          session_(session),
          item_(item),
          format_(FormatOf(item)),
          position_(count > 1 ? "[" + std::to_string(index + 1) + "/" + std::to_string(count) + "] "
                              : std::string()),
          more_(count > 1) {}

    // Plays the file; *outcome says how it ended. False, with the problem that ended it.
    bool Play(Outcome* outcome, Problem* problem);

  private:
    bool Decode(bool first, bool* stopped, Problem* problem);
    std::uint64_t TotalBlocks() const;
    double TotalSeconds() const {
        return static_cast<double>(TotalBlocks() * kModuleBlockBytes) /
               (static_cast<double>(format_.rate) * format_.blockAlign);
    }
    std::string Status(bool live) const;
    // How long the blocks not yet played before the last one take at the file's rate.
    std::chrono::milliseconds TimeBeforeLastBlock() const;
    void GuardDecoding();
    void SetPaused();
    void WarnOfDecoding();

    const PlayOptions& options_;
    Session& session_;
    const PlayItem& item_;
    const PlayFormat format_;
    const std::string position_;
    const bool more_;
    std::optional<DecodedWav> decoded_;
    bool userPaused_ = false;
    bool waitingForDecoder_ = false;
    bool devicePaused_ = false;
    bool warned_ = false;
};

}  // namespace quorvel::host

#endif
