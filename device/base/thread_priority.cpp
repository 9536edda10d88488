// Thread priority for the threads a sound card waits on.
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include "base/internal.h"

namespace quorvel::device::detail {

void RunAheadOfOrdinaryWork() {
    const sched_param lowestRealTime{sched_get_priority_min(SCHED_RR)};
    if (pthread_setschedparam(pthread_self(), SCHED_RR, &lowestRealTime) == 0) return;
    constexpr int kHigherPriority = -10;  // nice level
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kHigherPriority);
}

}  // namespace quorvel::device::detail
