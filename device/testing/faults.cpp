// Injected faults: Win32 calls told to fail with a given code.
#include <array>
#include <mutex>
#include <string>

#include "base/call_result.h"
#include "base/never_destroyed.h"
#include "testing/hooks.h"

namespace quorvel::device::detail {
namespace {

struct Fault {
    unsigned code = 0;
    int skip = 0;
    int count = 0;  // negative: every call
};

struct Faults {
    std::mutex mutex;
    std::array<Fault, QWD_OP_COUNT> byOp{};
};

Faults& State() {
    return NeverDestroyed<Faults>();
}

}  // namespace

unsigned TakeFault(qwd_op op) {
    Faults& faults = State();
    const std::lock_guard<std::mutex> lock(faults.mutex);
    Fault& fault = faults.byOp[static_cast<std::size_t>(op)];
    if (fault.count == 0) return 0;
    if (fault.skip > 0) {
        --fault.skip;
        return 0;
    }
    if (fault.count > 0) --fault.count;
    return fault.code;
}

}  // namespace quorvel::device::detail

namespace qd = quorvel::device::detail;

extern "C" {

qwd_result qwd_inject_fault(int32_t op, uint32_t code, int32_t skip, int32_t count) {
    if (op < 0 || op >= QWD_OP_COUNT) {
        return qd::Fail(QWD_ERROR_ARGUMENT,
                        "Operation " + std::to_string(op) + " is not one of the qwd_op values.");
    }
    qd::Faults& faults = qd::State();
    const std::lock_guard<std::mutex> lock(faults.mutex);
    faults.byOp[static_cast<std::size_t>(op)] = qd::Fault{code, skip < 0 ? 0 : skip, count};
    return QWD_OK;
}

void qwd_clear_faults(void) {
    qd::Faults& faults = qd::State();
    const std::lock_guard<std::mutex> lock(faults.mutex);
    faults.byOp.fill(qd::Fault{});
}

}  // extern "C"
