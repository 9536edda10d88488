// The screen as it was drawn for each block an output device still has to sound. The module
// draws a block's trace when the block before it is done, which a sound server reports as soon
// as it holds the samples, and the sound then waits in its buffers, so a view that shows the
// screen as drawn runs ahead of what is heard; a view that shows the state kept for the block
// heard now does not.
#ifndef QUORVEL_DEVICE_DRAWN_STATES_H
#define QUORVEL_DEVICE_DRAWN_STATES_H

#include <windows.h>

#include <array>
#include <cstdint>
#include <mutex>
#include <vector>

namespace quorvel::device::detail {

// One output device's kept states, oldest first, under a lock of their own: the device keeps
// them under its lock, hosts read them without it.
class DrawnStates {
  public:
    // The screen is drawn for the block whose first byte is `position` bytes into the device's
    // stream. States stay in stream order: one for an earlier block than the newest is let go,
    // and one for the newest's block replaces it only when `replace` says so.
    void Keep(std::uint64_t position, bool replace);
    void Clear();
    // Of the state of the block that holds byte `heard` of the stream, or the latest before it
    // (older ones are let go): its generation, and its pixels as rows of R, G, B bytes into `rgb`
    // unless null (capacity, at least width * height * 3 bytes, checked by the caller against
    // the screen's size). False when none is kept or it was kept at another size than
    // `width` x `height`.
    bool Read(std::uint64_t heard, int width, int height, std::uint64_t* generation,
              std::uint8_t* rgb);

  private:
    struct State {
        std::uint64_t position = 0;
        int width = 0;
        int height = 0;
        std::uint64_t generation = 0;  // the screen's when copied
        std::vector<COLORREF> pixels;  // as the screen keeps them, column by column
    };
    void CopyScreen(State& state);

    std::mutex mutex_;
    // Enough for every block a sound server can hold ahead of the one heard.
    static constexpr std::size_t kKept = 8;
    std::array<State, kKept> states_;  // a ring: first_ is the oldest of count_
    std::size_t first_ = 0;
    std::size_t count_ = 0;
};

}  // namespace quorvel::device::detail

#endif
