#include "screen/drawn_states.h"

#include "screen/screen.h"

namespace quorvel::device::detail {

namespace {

// Copies the screen as it is now, reusing the image's storage.
void CopyScreen(ScreenImage* image) {
    Screen& screen = TheScreen();
    const std::lock_guard<std::mutex> lock(screen.mutex);
    image->width = screen.width;
    image->height = screen.height;
    image->generation = screen.generation.load(std::memory_order_acquire);
    image->pixels.assign(screen.pixels.begin(), screen.pixels.end());
}

}  // namespace

void DrawnStates::Keep(std::uint64_t position, bool replace) {
    const std::lock_guard<std::mutex> lock(mutex_);
    KeepLocked(position, replace);
}

void DrawnStates::KeepLocked(std::uint64_t position, bool replace) {
    if (count_ > 0) {
        State& newest = states_[(first_ + count_ - 1) % kKept];
        if (position < newest.position) return;  // states stay in stream order
        if (position == newest.position) {
            if (replace) CopyScreen(&newest.image);
            return;
        }
    }
    if (count_ == kKept) {  // more blocks ahead than a server holds: the oldest goes
        first_ = (first_ + 1) % kKept;
        --count_;
    }
    State& state = states_[(first_ + count_) % kKept];
    state.position = position;
    CopyScreen(&state.image);
    ++count_;
}

void DrawnStates::KeepIfNew(std::uint64_t position) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (count_ > 0 && states_[(first_ + count_ - 1) % kKept].position >= position) return;
    KeepLocked(position, false);
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
    const ScreenImage& image = states_[first_].image;
    if (image.width != width || image.height != height) return false;
    *generation = image.generation;
    if (rgb != nullptr) RgbOfPixels(image.pixels.data(), width, height, rgb);
    return true;
}

}  // namespace quorvel::device::detail
