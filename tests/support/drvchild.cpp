// A second driver process for the tests: runs driver calls read from standard input, one
// a line, and answers each with one line "<code> <handle>" ("ok" for lock).
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>

#include "platform/clock.h"
#include "prtlink.h"
#include "prtlink/core/shared.h"

int main() {
    if (const char* s = std::getenv("PRT_TEST_TIME_SCALE")) prt::plat::set_time_scale(std::atof(s));
    const bool attached = prtlink::Process_Attach();
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string op;
        in >> op;
        uint32_t h = 0xFFFFFFFFu;
        long a = 0, b = 0, c = 0, d = 0, e = 0, f = 0;
        unsigned code = 0;
        if (op == "quit") break;
        if (!attached) {
            code = 9999;
        } else if (op == "open") {
            in >> a >> b;
            code = PrtOpenDeviceX(&h, static_cast<uint32_t>(a), static_cast<int32_t>(b));
        } else if (op == "openp") {
            in >> a >> b >> c >> d >> e >> f;
            code = PrtOpenDeviceParmsX(&h, static_cast<uint32_t>(a), static_cast<int32_t>(b),
                                       static_cast<uint32_t>(c), static_cast<uint32_t>(d),
                                       static_cast<uint32_t>(e), static_cast<uint32_t>(f));
        } else if (op == "close") {
            in >> h;
            code = PrtCloseDeviceX(h);
        } else if (op == "begin") {
            in >> h >> a;
            code = PrtBeginTransX(h, static_cast<uint32_t>(a));
        } else if (op == "end") {
            in >> h;
            code = PrtEndTransX(h);
        } else if (op == "setcts") {
            in >> a;
            code = PrtSetCTSLineX(static_cast<uint32_t>(a));
        } else if (op == "lock") {
            prtlink::g_proc->global_lock.lock();  // held until the process ends
            std::cout << "ok" << std::endl;
            continue;
        } else {
            code = 9998;
        }
        std::cout << code << " " << h << std::endl;
    }
    prtlink::Process_Detach();
    return 0;
}
