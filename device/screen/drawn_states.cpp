#include "screen/drawn_states.h"

#include "screen/screen.h"

namespace quorvel::device::detail {

// Copies the screen as it is now, reusing the state's storage.
void DrawnStates::CopyScreen(State& state) {
    Screen& screen = TheScreen();
    const std::lock_guard<std::mutex> lock(screen.mutex);
    state.width = screen.width;
    state.height = screen.height;
    state.generation = screen.generation.load(std::memory_order_acquire);
    state.pixels.assign(screen.pixels.begin(), screen.pixels.end());
}

void DrawnStates::Keep(std::uint64_t position, bool replace) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (count_ > 0) {
        State& newest = states_[(first_ + count_ - 1) % kKept];
        if (position < newest.position) return;
        if (position == newest.position) {
            if (replace) CopyScreen(newest);
            return;
        }
    }
    if (count_ == kKept) {  // more blocks ahead than a server holds: the oldest goes
        first_ = (first_ + 1) % kKept;
        --count_;
    }
    State& state = states_[(first_ + count_) % kKept];
    state.position = position;
    CopyScreen(state);
    ++count_;
}

void DrawnStates::Clear() {
    const std::lock_guard<std::mutex> lock(mutex_);
    count_ = 0;
}

bool DrawnStates::Read(std::uint64_t heard, int width, int height, std::uint64_t* generation,
                       std::uint8_t* rgb) {
    const std::lock_guard<std::mutex> lock(mutex_);
    while (count_ > 1 && states_[(first_ + 1) % kKept].position <= heard) {
        first_ = (first_ + 1) % kKept;
        --count_;
    }
    if (count_ == 0) return false;
    const State& state = states_[first_];
    if (state.width != width || state.height != height) return false;
    *generation = state.generation;
    if (rgb != nullptr) RgbOfPixels(state.pixels.data(), width, height, rgb);
    return true;
}

}  // namespace quorvel::device::detail
