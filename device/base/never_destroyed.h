// The one idiom for state that a device thread can touch: the message threads, the backends'
// clocks and threads may still run while the process exits and static objects are
// destroyed, and a module unloaded at exit releases its panel objects after that, so such state
// is made on first use and never destroyed.
#ifndef QUORVEL_DEVICE_NEVER_DESTROYED_H
#define QUORVEL_DEVICE_NEVER_DESTROYED_H

namespace quorvel::device::detail {

// The process's one `State`, made on first use and never destroyed.
template <typename State>
State& NeverDestroyed() {
    static State* const state = new State;
    return *state;
}

}  // namespace quorvel::device::detail

#endif
