// Code-page selection is not built yet: nothing is sent, and each routine reports that
// nothing was needed.
#include "prtlink/codepage/codepage.h"

namespace prtlink {

uint16_t Load_Code_Page(uint16_t, uint16_t, bool, uint32_t, uint8_t, uint8_t, int) { return 0; }

uint16_t Restore_Code_Page(uint32_t, uint8_t, uint8_t, int) { return 0; }

}  // namespace prtlink
