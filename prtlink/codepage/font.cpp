// Font reloading is not built yet: nothing is sent.
#include "prtlink/codepage/font.h"

namespace prtlink {

uint16_t Restore_Font(uint32_t, uint8_t, uint8_t, int) { return 0; }

}  // namespace prtlink
