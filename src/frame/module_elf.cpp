// On ELF systems the loader's constructor and destructor calls stand in for the
// process-attach and process-detach notifications.
#include "frame/module.h"

namespace {

__attribute__((constructor)) void OnModuleLoad() {
    qwf::ModuleAttach();
}

__attribute__((destructor)) void OnModuleUnload() {
    qwf::ModuleDetach();
}

}  // namespace
