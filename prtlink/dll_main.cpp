// Load and unload hooks of libprtlink.so: attach to the machine's shared driver state and
// make this process's locks and events. A failed attach leaves the driver answering 1292.
#include "prtlink/core/shared.h"

namespace {
__attribute__((constructor)) void prtlink_load() { prtlink::Process_Attach(); }
__attribute__((destructor)) void prtlink_unload() { prtlink::Process_Detach(); }
}  // namespace
