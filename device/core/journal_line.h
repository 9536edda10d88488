// One Win32 call's journal line, written once when its result is known. Calls that post
// messages write it before posting, so the line always comes before the messages it causes.
#ifndef QUORVEL_DEVICE_JOURNAL_LINE_H
#define QUORVEL_DEVICE_JOURNAL_LINE_H

#include <string>
#include <utility>

#include "core/internal.h"

namespace quorvel::device::detail {

class JournalLine {
  public:
    JournalLine() : on_(JournalOn()) {}

    // False while the journal is off: the text need not be made.
    bool on() const { return on_; }
    void SetText(std::string text) { text_ = std::move(text); }

    // Writes "text = result" plus `suffix`, the first time only; returns `result`.
    unsigned Finish(unsigned result, const std::string& suffix = std::string()) {
        if (on_ && !finished_) Journal(text_ + " = " + std::to_string(result) + suffix);
        finished_ = true;
        return result;
    }

  private:
    const bool on_;
    bool finished_ = false;
    std::string text_;
};

}  // namespace quorvel::device::detail

#endif
