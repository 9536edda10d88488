// The virtual device of these services: plays into nothing (the sinks still see every byte) and
// captures a source's samples, in real time or as fast as the device has blocks and buffers.
#ifndef QUORVEL_DEVICE_VIRTUAL_H
#define QUORVEL_DEVICE_VIRTUAL_H

#include <memory>

#include "backends/backend.h"

namespace quorvel::device::detail {

std::unique_ptr<Backend> CreateVirtualOutput(Pace pace);
std::unique_ptr<Backend> CreateVirtualInput(Pace pace, std::shared_ptr<const InputSource> source);

}  // namespace quorvel::device::detail

#endif
