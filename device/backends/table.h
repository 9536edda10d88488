// The one table of audio backends, in the order "default" tries them.
#ifndef QUORVEL_DEVICE_BACKEND_TABLE_H
#define QUORVEL_DEVICE_BACKEND_TABLE_H

#include <string>
#include <vector>

#include "backends/backend.h"

namespace quorvel::device::detail {

// The setting that means "the first backend of the table whose device opens".
inline const std::string kDefaultBackendName = "default";

const std::vector<BackendEntry>& BackendTable();

// A table name or "default".
bool IsKnownBackend(const std::string& name);

// The entries a setting opens for `direction`, in the order to try them: the whole table for
// "default", the one named otherwise, none for an unknown name. With `namedDevice`, only
// backends that list devices: no other could open the one named.
std::vector<const BackendEntry*> BackendsToTry(const std::string& name, Direction direction,
                                               bool namedDevice);

// Creates the entry's backend for `device` (of the entry's direction) and opens it in `format`;
// null, with a sentence in *problem, when it does not open.
std::unique_ptr<Backend> OpenBackend(const BackendEntry& entry, const BackendRequest& request,
                                     PlaybackDevice& device, const WAVEFORMATEX& format,
                                     std::string* problem);
std::unique_ptr<Backend> OpenBackend(const BackendEntry& entry, const BackendRequest& request,
                                     CaptureDevice& device, const WAVEFORMATEX& format,
                                     std::string* problem);

// "default, pulse, alsa, virtual or null", for sentences about a bad name.
std::string BackendChoices();

}  // namespace quorvel::device::detail

#endif
