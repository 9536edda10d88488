#include "screen/drawn_states.h"

#include "screen/screen.h"

namespace quorvel::device::detail {

std::atomic<bool> presentationWanted{false};

void CopyScreen(ScreenImage* image) {
    Screen& screen = TheScreen();
    const std::lock_guard<std::mutex> lock(screen.mutex);
    image->width = screen.width;
    image->height = screen.height;
    image->generation = screen.generation.load(std::memory_order_acquire);
    image->pixels.assign(screen.pixels.begin(), screen.pixels.end());
}

void RgbOf(const ScreenImage& image, std::uint8_t* rgb) {
    RgbOfPixels(image.pixels.data(), image.width, image.height, rgb);
}

void DrawnStates::Keep(std::uint64_t position, bool replace) {
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
    if (count_ > 0 && states_[(first_ + count_ - 1) % kKept].position >= position) return;
    Keep(position, false);
}

const ScreenImage* DrawnStates::At(std::uint64_t heard) {
    while (count_ > 1 && states_[(first_ + 1) % kKept].position <= heard) {
        first_ = (first_ + 1) % kKept;
        --count_;
    }
    return count_ == 0 ? nullptr : &states_[first_].image;
}

}  // namespace quorvel::device::detail
