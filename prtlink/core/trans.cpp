// Transactions: holding a printer for one handle, and checking the printer at the start.
#include <cerrno>
#include <cstring>

#include "platform/clock.h"
#include "platform/port.h"
#include "prtlink/codepage/codepage.h"
#include "prtlink/core/shared.h"
#include "prtlink/core/slots.h"
#include "prtlink/core/trace.h"
#include "prtlink/core/trans.h"
#include "prtlink/link/link.h"
#include "prtlink/link/rems_attr.h"

namespace prtlink {
namespace plat = prt::plat;

namespace {
int rank(uint16_t code) {
    switch (code) {
        case 0: return 0;
        case PRT_STATUS_AVAILABLE: return 1;
        case PRT_DEVICE_EXCEPTION: return 2;
        case PRT_DEVICE_ERROR: return 3;
        default: return -1;
    }
}
}  // namespace

uint16_t Pick_Code(uint16_t a, uint16_t b) {
    const int ra = rank(a), rb = rank(b);
    if (ra >= 0 && rb >= 0) return rb > ra ? b : a;
    if (ra < 0) return a;
    return b;
}

uint16_t Check_Owner(uint32_t handle, int* slot) {
    if (Find_Handle(handle, slot) != 0) return PRT_ACCESS_DENIED;
    const SlotShared& s = S(*slot);
    if (s.slot_state != kSlotInTrans || s.owner_pid != plat::process_id() ||
        s.owner_handle != handle) {
        return PRT_ACCESS_DENIED;
    }
    return 0;
}

namespace {

// Polls of the transaction start: finds out whether the printer was reset.
uint16_t check_printer(uint32_t handle, int slot, uint16_t count_before) {
    SlotShared& s = S(slot);
    const uint16_t r = Poll_Unit(handle, slot, kUnitPrint);
    const uint16_t now = s.prt_por_count;
    if (now == 0 && r != PRT_COMM_ERROR) {
        // The printer's power-on status was never seen: make it report one.
        const uint16_t r2 = Resync_Link(handle, slot, kUnitPrint, 0xFF);
        if (r2 == 0) {
            s.prt_por_mark = 0xDD;
            s.rems_por_mark = 0xDD;
            return PRT_POR_WITHOUT_STATUS;
        }
        return r2 == PRT_CP_TRANSMIT_FAILED ? PRT_CP_TRANSMIT_FAILED : PRT_NO_POR_STATUS;
    }
    if (r == 0) return 0;
    if (!((r == PRT_DEVICE_EXCEPTION || r == PRT_COMM_ERROR) && now != count_before)) {
        return r == kStatusClean ? 0 : r;
    }
    // Reset during this poll.
    uint16_t r3 = 0;
    if (Has_Rems_Unit(slot)) {
        plat::sleep_ms(kPollGapMs);
        r3 = Poll_Unit(handle, slot, kUnitRems);
        if (s.rems_por_flag == 0xFF) {
            s.rems_por_mark = 0xDD;
            r3 = 0;
        }
    }
    if (r3 != 0) return r3;
    const uint16_t r4 = Poll_Unit(handle, slot, kUnitPrint);
    if (r4 == 0) {
        s.prt_por_mark = 0xDD;
        return PRT_POR_WITHOUT_STATUS;
    }
    if (r4 == PRT_STATUS_AVAILABLE || r4 == kStatusClean) {
        s.status_record[0] |= 0x0080;  // the POR bit of the print record
        return PRT_DEVICE_EXCEPTION;
    }
    return r4;
}

}  // namespace

extern "C" {

PRTLINK_API uint16_t PrtBeginTransX(uint32_t handle, uint32_t mode_arg) {
    if (g_shared == nullptr) return PRT_INTERNAL_ERROR;
    const uint16_t mode = static_cast<uint16_t>(mode_arg);
    int slot = 0;
    uint16_t result = Find_Handle(handle, &slot);
    if (result != 0) {
        Trace_Event(0, result, "PrtBeginTrans   ");
        return result;
    }
    SlotShared& s = S(slot);
    if (mode != 0 && mode != 1) {
        result = PRT_INVALID_PARAMETERS;
    } else {
        const uint16_t count_before = s.prt_por_count;
        const uint16_t configured_cp = Read_Config(static_cast<uint16_t>(slot + 1), kCfgCodePage);
        const uint32_t w = L(slot).trans_sem.wait(0);
        if (w == plat::kWaitTimeout) {
            result = PRT_ACCESS_DENIED;
        } else if (w == plat::kWaitFailed) {
            Trace_Value(slot, 0xFFFFFFFFu, "Wait4SingleObj_F");
            Trace_Value(slot, static_cast<uint32_t>(errno), "GetLastError    ");
            result = PRT_INTERNAL_ERROR;
        } else if (w != plat::kWaitObject0) {
            Trace_Value(slot, w, "Wait4SingleObj  ");
            result = PRT_INTERNAL_ERROR;
        } else {
            s.slot_state = kSlotInTrans;
            if (count_before == 0) {
                s.cp_state = 0;
                s.cur_code_page = configured_cp;
            }
            s.cp_check = 0xFF;
            s.owner_pid = plat::process_id();
            s.trans_mode = mode;
            s.owner_handle = handle;
            result = check_printer(handle, slot, count_before);
            if (result == PRT_COMM_ERROR || result == PRT_INTERNAL_ERROR) {
                L(slot).trans_sem.release();
            } else if ((result == 0 || result == PRT_STATUS_AVAILABLE) && s.cp_check == 0xFF) {
                const uint16_t cp = Load_Code_Page(configured_cp, 1, false, handle, s.prt_model,
                                                   s.unit_level[0], slot);
                result = Pick_Code(result, cp);
            }
        }
    }
    result = Send_Rems_Attr(handle, slot, result);
    Trace_Event(slot, result, "PrtBeginTrans   ");
    return result;
}

PRTLINK_API uint16_t PrtEndTransX(uint32_t handle) {
    if (g_shared == nullptr) return PRT_INTERNAL_ERROR;
    int slot = 0;
    uint16_t result = Find_Handle(handle, &slot);
    if (result == 0) {
        SlotShared& s = S(slot);
        if (s.owner_pid != plat::process_id() || s.owner_handle != handle) {
            result = PRT_ACCESS_DENIED;
        } else if (!L(slot).trans_sem.release()) {
            Trace_Event(slot, 0, "ReleaseSemaphore");
            result = PRT_INTERNAL_ERROR;
        } else {
            s.owner_handle = 0;
            s.prt_por_mark = 0;
            s.rems_por_mark = 0;
            std::memset(s.status_record, 0, sizeof s.status_record);
            s.slot_state = kSlotOpen;
            s.pending_result = 0;
        }
    }
    Trace_Event(slot, result, "PrtEndTrans     ");
    return result;
}

}  // extern "C"

}  // namespace prtlink
