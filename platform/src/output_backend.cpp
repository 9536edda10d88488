// The output backends a device can be opened on, by name.
#include "output_backend.h"

namespace quorvel::device::detail {

bool IsKnownOutputBackend(const std::string& name) {
    return name == "virtual";
}

std::unique_ptr<OutputBackend> CreateOutputBackend(const std::string& name, Pace pace) {
    if (name == "virtual") return CreateVirtualOutput(pace);
    return nullptr;
}

}  // namespace quorvel::device::detail
