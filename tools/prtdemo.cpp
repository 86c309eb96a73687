// prtdemo: takes printer N through one transaction with the driver library and says what
// each step answered. Used by the README's main job against the emulated printer.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "prtlink.h"
#include "tools/trace_format.h"

namespace {
bool step(const char* what, uint16_t code) {
    const std::string_view text = prt::trace::completion_text(code);
    std::printf("%-28s %5u  %.*s\n", what, code, static_cast<int>(text.size()), text.data());
    return code == PRT_OK;
}
}  // namespace

int main(int argc, char** argv) {
    const uint32_t id = argc > 1 ? static_cast<uint32_t>(std::atoi(argv[1])) : 1;
    uint32_t h = PRT_INVALID_HANDLE_VALUE;
    std::printf("printer %u\n", id);
    if (!step("PrtOpenDeviceX", PrtOpenDeviceX(&h, id, 2000))) return 1;
    // The first transaction on a printer the driver has never seen reports its power-on
    // reset (1299); a second one finds the printer as it was left.
    const uint16_t first = PrtBeginTransX(h, 0);
    step("PrtBeginTransX", first);
    bool ok = first == PRT_OK || first == PRT_POR_WITHOUT_STATUS;
    step("PrtEndTransX", PrtEndTransX(h));
    const uint16_t second = PrtBeginTransX(h, 0);
    ok = step("PrtBeginTransX (again)", second) && ok;
    step("PrtEndTransX", PrtEndTransX(h));
    ok = step("PrtCloseDeviceX", PrtCloseDeviceX(h)) && ok;
    return ok ? 0 : 1;
}
