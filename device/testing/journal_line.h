// One call's journal line, the one way the Win32 surface writes the journal. Its place is taken
// when the call begins, so a call's line comes before the messages it causes however soon they
// are delivered; its text is made only while the journal is on, so it costs nothing when off.
#ifndef QUORVEL_DEVICE_JOURNAL_LINE_H
#define QUORVEL_DEVICE_JOURNAL_LINE_H

#include <cstdint>
#include <string>
#include <utility>

#include "testing/hooks.h"

namespace quorvel::device::detail {

class JournalLine {
  public:
    JournalLine() : slot_(ReserveJournalLine()) {}
    ~JournalLine() {
        Write([] { return std::string("(unfinished call)"); });
    }
    JournalLine(const JournalLine&) = delete;
    JournalLine& operator=(const JournalLine&) = delete;

    // False while the journal is off: the text need not be made.
    bool on() const { return slot_ != 0; }
    // Writes the line `make()` returns, the first time only; `make` runs only while on.
    template <typename Make>
    void Write(Make make) {
        if (slot_ != 0) FillJournalLine(std::exchange(slot_, 0), make());
    }

  private:
    std::uint64_t slot_;
};

}  // namespace quorvel::device::detail

#endif
