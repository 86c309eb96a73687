// The REMS attribute command is not built yet: nothing is sent and the code passes
// through unchanged.
#include "prtlink/link/rems_attr.h"

namespace prtlink {

uint16_t Send_Rems_Attr(uint32_t, int, uint16_t code) { return code; }

}  // namespace prtlink
