// Link recovery: the retry ladder around one poll, the break, the link reset.
#include "platform/clock.h"
#include "platform/port.h"
#include "prtlink/core/shared.h"
#include "prtlink/core/trace.h"
#include "prtlink/link/frames.h"
#include "prtlink/link/link.h"

namespace prtlink {
namespace plat = prt::plat;

bool Has_Rems_Unit(int slot) {
    const SlotShared& s = S(slot);
    return s.prt_model == 0x1C || s.prt_model == 0x40 ||
           (s.prt_model == 0xD0 && (s.unit_ext_status[0] & 0x0100) == 0);
}

uint16_t Check_Cts(uint32_t handle, int slot) {
    uint32_t lines = 0;
    if (!plat::port_modem_status(handle, &lines)) {
        Trace_Event(slot, 0, "GetCommModemStat");
        return PRT_INTERNAL_ERROR;
    }
    if (lines & plat::kModemCts) return 0;
    Trace_Value(slot, lines, "printer off     ");
    return PRT_COMM_ERROR;
}

uint16_t Poll_Unit(uint32_t handle, int slot, uint16_t unit) {
    SlotShared& s = S(slot);
    uint8_t saved = s.echo_bit;
    uint16_t r = Send_Poll(handle, slot, unit);
    if (s.por_required != 0) {
        Trace_Event(slot, r, "POR_Required    ");
        s.por_required = 0;
        r = Resync_Link(handle, slot, unit, 0xFF);
    }
    if (r == kLinkTagMismatch || r == kLinkResyncSeen) {
        if (r == kLinkTagMismatch && s.retransmit_mark == 0xCC) {
            s.retransmit_mark = 0xFF;  // the data sender repeats its frame
            return kLinkTagMismatch;
        }
        s.echo_bit = saved;
        r = Send_Poll(handle, slot, unit);
        if (r == kLinkTagMismatch || r == kLinkResyncSeen) {
            if (r == kLinkTagMismatch && s.retransmit_mark == 0xCC) {
                s.retransmit_mark = 0xFF;
                return kLinkTagMismatch;
            }
            Trace_Event(slot, r, "resyncORtag     ");
            Resync_Link(handle, slot, unit, 0xFF);
            return PRT_COMM_ERROR;
        }
    } else if (r == PRT_COMM_ERROR) {
        // The failed exchange has made its plain resync already.
        if (Check_Cts(handle, slot) != 0) {
            Trace_Event(slot, 3024, "CTS OFF         ");
            return PRT_COMM_ERROR;
        }
        Trace_Event(slot, 3019, "RETRY OCCURED 1 ");
        s.echo_bit = saved;
        r = Send_Poll(handle, slot, unit);
        if (r == PRT_COMM_ERROR) {
            Trace_Event(slot, 3019, "RETRY FAILED 1  ");
            Resync_Link(handle, slot, unit, 0xFF);
            return PRT_COMM_ERROR;
        }
    }
    if (r == kLinkAck || r == PRT_INTERNAL_ERROR) return r;

    // A status (or what a repeat left over) is acknowledged by one more poll.
    saved = s.echo_bit;
    uint16_t r2 = Send_Poll(handle, slot, unit);
    if (r2 == PRT_COMM_ERROR) {
        Trace_Event(slot, 3020, "RETRY OCCURED 2 ");
        s.echo_bit = saved;
        r2 = Send_Poll(handle, slot, unit);
        if (r2 == PRT_COMM_ERROR) {
            Trace_Event(slot, 3020, "RETRY FAILED 2  ");
            Resync_Link(handle, slot, unit, 0xFF);
            return PRT_COMM_ERROR;
        }
    }
    if (r2 == kLinkAck || r2 == PRT_INTERNAL_ERROR) return r;
    Trace_Event(slot, r2, "doublestatus    ");
    Resync_Link(handle, slot, unit, 0);
    return PRT_COMM_ERROR;
}

uint16_t Resync_Link(uint32_t handle, int slot, uint16_t unit, uint16_t mode) {
    SlotShared& s = S(slot);
    uint16_t result = 0;
    if (s.resync_active != 0) {
        Trace_Event(slot, s.resync_active, "double resync   ");
        result = PRT_COMM_ERROR;
    } else {
        s.resync_active = 0xFF;
        if (g_shared->cts_mode == 1 && !plat::port_set_rts(handle, false)) {
            Trace_Event(slot, 0, "EscapeCommFunc 6");
            result = PRT_INTERNAL_ERROR;
        } else if (!plat::port_set_break(handle, true)) {
            Trace_Event(slot, 0, "SetCommBreak    ");
            result = PRT_INTERNAL_ERROR;
        } else {
            plat::sleep_ms(kBreakMs);
            if (!plat::port_set_break(handle, false)) {
                Trace_Event(slot, 0, "ClearCommBreak  ");
                result = PRT_INTERNAL_ERROR;
            } else if (mode == 0xFF) {
                result = Link_Reset(handle, slot);
                ++s.unit_counters[unit - 1][3];
            } else {
                ++s.unit_counters[unit - 1][2];
            }
        }
        s.resync_active = 0;
    }
    uint32_t flags = 0;
    plat::port_take_errors(handle, &flags);
    return result;
}

uint16_t Link_Reset(uint32_t handle, int slot) {
    SlotShared& s = S(slot);
    const uint16_t saved = s.prt_por_count;
    Build_Short_Frame(s.poll_frame, 0, kCtlLinkReset);
    s.data_tag = 0;
    s.echo_bit = 0;
    s.prt_model = 0;
    s.unit_level[0] = 0;
    uint32_t written = 0;
    const bool ok = plat::port_write(handle, s.poll_frame, 9, &written);
    Trace_Event(slot, 0, "Link Reset      ");
    if (!ok || written < 9) {
        Trace_Event(slot, 3008, "WriteFile 11    ");
        return PRT_COMM_ERROR;
    }
    uint16_t r = 0;
    for (int n = 1;; ++n) {
        plat::sleep_ms(kPollGapMs);
        r = Poll_Unit(handle, slot, kUnitPrint);
        if (n > kPorPrintPolls) {
            Trace_Event(slot, 3007, "POR PRT response");
            return PRT_COMM_ERROR;
        }
        if (r != 0) break;
    }
    if (s.prt_por_count == saved) return r;
    if (Has_Rems_Unit(slot)) {
        for (int m = 1;; ++m) {
            r = Poll_Unit(handle, slot, kUnitRems);
            if (m > kPorRemsPolls) {
                Trace_Event(slot, 3007, "POR REMS respons");
                return PRT_COMM_ERROR;
            }
            if (r != 0) return 0;
            plat::sleep_ms(kPollGapMs);
        }
    }
    return 0;
}

}  // namespace prtlink
