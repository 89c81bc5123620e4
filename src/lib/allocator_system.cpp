// Sanitizer builds only: the system allocator stays in charge, so that the
// sanitizer tracks every allocation of the module.
#include "lib/allocator.h"

namespace corvane {

long long audited_live_allocations() { return -1; }

}  // namespace corvane
