// The presented screen: what an output device heard now was drawn as. The core marks where each
// block starts in its stream; the screen's DrawnStates keep the screen as drawn at each mark.
#include "base/call_result.h"
#include "core/output_device.h"
#include "quorvel/device.h"
#include "screen/drawn_states.h"

namespace quorvel::device::detail {
namespace {

class DrawnMarks final : public StreamMarks {
  public:
    void Keep(std::uint64_t position, bool replace) override { states.Keep(position, replace); }
    void KeepIfNew(std::uint64_t position) override { states.Keep(position, false); }
    void Clear() override { states.Clear(); }

    DrawnStates states;
};

std::shared_ptr<StreamMarks> MakeDrawnMarks() {
    return std::make_shared<DrawnMarks>();
}

// The generation of the state kept for the block heard now, and its pixels into `rgb` unless
// null; false when the screen as it is should be shown.
bool ReadPresented(int width, int height, std::uint64_t* generation, std::uint8_t* rgb) {
    const std::shared_ptr<WaveDevice> newest = RegistryOf(Direction::kOutput).devices.NewestOpen();
    std::shared_ptr<StreamMarks> marks;
    std::uint64_t heard = 0;
    if (!newest || !static_cast<OutputDevice&>(*newest).Heard(&marks, &heard)) return false;
    return static_cast<DrawnMarks&>(*marks).states.Read(heard, width, height, generation, rgb);
}

}  // namespace
}  // namespace quorvel::device::detail

namespace qd = quorvel::device::detail;

extern "C" {

void qwd_screen_enable_presentation(int32_t on) {
    qd::SetStreamMarksMaker(on != 0 ? qd::MakeDrawnMarks : nullptr);
}

qwd_result qwd_screen_read_presented_rgb(uint8_t* rgb, size_t capacity, size_t* needed) {
    std::int32_t width = 0, height = 0;
    qwd_screen_size(&width, &height);
    const std::size_t size = static_cast<std::size_t>(width) * height * 3;
    std::uint64_t generation = 0;
    if (rgb != nullptr && capacity >= size && qd::ReadPresented(width, height, &generation, rgb)) {
        if (needed != nullptr) *needed = size;
        return QWD_OK;
    }
    return qwd_screen_read_rgb(rgb, capacity, needed);
}

uint64_t qwd_screen_presented_generation(void) {
    std::int32_t width = 0, height = 0;
    qwd_screen_size(&width, &height);
    std::uint64_t generation = 0;
    return qd::ReadPresented(width, height, &generation, nullptr) ? generation
                                                                  : qwd_screen_generation();
}

}  // extern "C"
