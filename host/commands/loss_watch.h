// Audio the input device dropped while quorvel could not take it in, watched during a capture.
#ifndef QUORVEL_HOST_COMMANDS_LOSS_WATCH_H
#define QUORVEL_HOST_COMMANDS_LOSS_WATCH_H

#include <cstdint>
#include <string>

#include "QuorvelWaveForm.h"
#include "cli/text.h"
#include "quorvel/device.hpp"

namespace quorvel::host {

// Audio the input device dropped (its buffer overflowed while quorvel could not keep up: a
// stall, a stopped process): said once per loss, with where it falls in the recording, and
// again in the summary. Drops seen at consecutive looks are one loss still going on, said once
// it has ended (or at the last look).
class LossWatch {
  public:
    void Check(bool last = false) {
        const quorvel::device::InputStats stats = quorvel::device::GetInputStats();
        const std::uint64_t kept = stats.frames_captured - stats.frames_dropped;
        if (stats.frames_dropped > dropped_) {
            if (ongoing_ == 0) ongoingFrom_ = keptBefore_;
            ongoing_ += stats.frames_dropped - dropped_;
            ongoingTo_ = kept;
        } else if (ongoing_ > 0) {
            Say();
        }
        if (last && ongoing_ > 0) Say();
        dropped_ = stats.frames_dropped;
        keptBefore_ = kept;
    }
    // For the summary; empty when nothing was lost.
    std::string Summary() const {
        if (losses_ == 0) return {};
        return Describe(total_) + " lost in " + std::to_string(losses_) +
               (losses_ == 1 ? " place" : " places");
    }

  private:
    void Say() {
        total_ += ongoing_;
        ++losses_;
        Warn(Describe(ongoing_) + " of audio " + (ongoing_ == 1 ? "was" : "were") + " lost " +
             Where(ongoingFrom_, ongoingTo_) +
             ": the input device's buffer overflowed while quorvel could not take it in.");
        ongoing_ = 0;
    }
    static std::string Describe(std::uint64_t samples) {
        return std::to_string(samples) + " samples (" +
               Seconds(static_cast<double>(samples) / kCaptureRate) + " s)";
    }
    // Between the samples kept at the last look and those kept now.
    static std::string Where(std::uint64_t from, std::uint64_t to) {
        const std::string first = Seconds(static_cast<double>(from) / kCaptureRate);
        const std::string last = Seconds(static_cast<double>(to) / kCaptureRate);
        return first == last ? "at " + first + " s into the capture"
                             : "between " + first + " s and " + last + " s into the capture";
    }
    static constexpr double kCaptureRate = QWF_CAPTURE_RATE;
    std::uint64_t dropped_ = 0;
    std::uint64_t keptBefore_ = 0;
    std::uint64_t total_ = 0;
    std::uint64_t losses_ = 0;
    std::uint64_t ongoing_ = 0;  // dropped at consecutive looks, not said yet
    std::uint64_t ongoingFrom_ = 0;
    std::uint64_t ongoingTo_ = 0;
};

}  // namespace quorvel::host

#endif
