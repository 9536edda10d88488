// Lets a start or stop shut a device's message handler out before it resets and closes the
// device: once Close() returns, no handler is running and none that enters later does any
// work, so nothing is requeued behind the reset and no handler touches state being replaced.
#ifndef QWF_COMMON_HANDLER_GATE_H
#define QWF_COMMON_HANDLER_GATE_H

#include <atomic>
#include <thread>

namespace qwf {

class HandlerGate {
  public:
    // True when the handler may do its work; pair every true with Leave().
    bool Enter() {
        running_.fetch_add(1);
        if (closing_.load()) {
            running_.fetch_sub(1);
            return false;
        }
        return true;
    }
    void Leave() { running_.fetch_sub(1); }

    // Waits for a handler already inside to leave. Never call from the handler itself.
    void Close() {
        closing_.store(true);
        while (running_.load() != 0) std::this_thread::yield();
    }
    void Open() { closing_.store(false); }

  private:
    std::atomic<int> running_{0};
    std::atomic<bool> closing_{false};
};

class HandlerPass {
  public:
    explicit HandlerPass(HandlerGate& gate) : gate_(gate), entered_(gate.Enter()) {}
    ~HandlerPass() {
        if (entered_) gate_.Leave();
    }
    HandlerPass(const HandlerPass&) = delete;
    HandlerPass& operator=(const HandlerPass&) = delete;
    bool Entered() const { return entered_; }

  private:
    HandlerGate& gate_;
    bool entered_;
};

}  // namespace qwf

#endif
