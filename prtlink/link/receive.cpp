// Receiving: the poll, the answer with its handshake, the check and the classification.
#include <cstring>

#include "platform/clock.h"
#include "platform/port.h"
#include "prtlink/codepage/codepage.h"
#include "prtlink/codepage/font.h"
#include "prtlink/core/shared.h"
#include "prtlink/core/trace.h"
#include "prtlink/link/frames.h"
#include "prtlink/link/link.h"
#include "prtlink/link/status_record.h"

namespace prtlink {
namespace plat = prt::plat;

namespace {

bool block_level(int slot) { return S(slot).unit_level[0] >= 0x40 && S(slot).unit_level[0] <= 0x4F; }

// Up to 8 modem-status readings 32 ms apart; readings 1 to 7 stop the wait as soon as
// DSR is `want`, reading 8 only ends it. `*reached` tells whether DSR was seen as wanted.
bool wait_dsr(uint32_t handle, int slot, bool want, bool* reached, bool* last_on) {
    *reached = false;
    for (int reading = 1; reading <= 8; ++reading) {
        if (reading > 1) plat::sleep_ms(kPollGapMs);
        uint32_t lines = 0;
        if (!plat::port_modem_status(handle, &lines)) {
            Trace_Event(slot, 0, "GetCommModemStat");
            return false;
        }
        const bool on = (lines & plat::kModemDsr) != 0;
        *last_on = on;
        if (reading < 8 && on == want) {
            *reached = true;
            return true;
        }
    }
    return true;
}

}  // namespace

uint16_t Purge_Port(uint32_t handle, int slot) {
    if (!plat::port_purge(handle)) {
        Trace_Event(slot, 0, "PurgeComm       ");
        return PRT_INTERNAL_ERROR;
    }
    return 0;
}

uint16_t Send_Poll(uint32_t handle, int slot, uint16_t unit) {
    if (Purge_Port(handle, slot) != 0) return PRT_INTERNAL_ERROR;
    SlotShared& s = S(slot);
    uint8_t control = (g_shared->cts_mode == 1 && block_level(slot)) ? kCtlPollBlock : kCtlPoll;
    control |= s.echo_bit | s.data_tag;
    Build_Short_Frame(s.poll_frame, static_cast<uint8_t>(unit), control);
    uint32_t written = 0;
    if (!plat::port_write(handle, s.poll_frame, 9, &written) || written < 9) {
        Trace_Event(slot, static_cast<uint16_t>(written), "WriteFile 10    ");
        Resync_Link(handle, slot, unit, 0);
        return PRT_COMM_ERROR;
    }
    plat::sleep_ms(0);
    return Read_Response(handle, slot, unit);
}

uint16_t Read_Response(uint32_t handle, int slot, uint16_t unit) {
    uint8_t* rx = L(slot).rx_frame;
    uint16_t r = Read_Link(handle, slot, unit, 7, rx, 0);
    if (r != 0) return r;
    const uint16_t length = static_cast<uint16_t>(rx[3] | (rx[4] << 8));
    if (length > kMaxAnswerLength) {
        // More data than rx_frame holds: refuse it before reading any of it.
        Trace_Event(slot, 3003, "headerORcrc     ");
        Resync_Link(handle, slot, unit, 0);
        return PRT_COMM_ERROR;
    }
    if (length > 4) {
        const uint16_t data = static_cast<uint16_t>(length - 4);
        r = Read_Link(handle, slot, unit, data, rx + 7, 1);
        if (r != 0) return r;
        // A short status leaves no stale bytes where the decoding looks.
        if (data < 8) std::memset(rx + 7 + data, 0, 8 - data);
        Trace_Bytes(slot, rx + 7, unit == kUnitPrint ? "PRT_UNIT STATUS " : "REMS_UNIT STATUS");
    } else {
        Trace_Event(slot, unit, unit == kUnitPrint ? "POLL ACK PRINTER" : "POLL ACK REMS   ");
    }
    r = Read_Link(handle, slot, unit, 2, rx + kRxCrcOffset, 2);
    if (r != 0) return r;
    r = Check_Response(handle, length, slot, unit);
    if (r == kLinkBadFrame) {
        Trace_Event(slot, 3003, "headerORcrc     ");
        Resync_Link(handle, slot, unit, 0);
        return PRT_COMM_ERROR;
    }
    return r;
}

uint16_t Read_Link(uint32_t handle, int slot, uint16_t unit, uint16_t count, uint8_t* buffer,
                   int phase) {
    const uint16_t cts_mode = g_shared->cts_mode;
    const bool level_block = block_level(slot);
    bool dsr_on = false;
    if (phase == 0 && cts_mode == 1) {
        bool last_on = false;
        if (!wait_dsr(handle, slot, true, &dsr_on, &last_on)) return PRT_INTERNAL_ERROR;
        if (!dsr_on) {
            uint32_t flags = 0;
            if (!plat::port_take_errors(handle, &flags)) {
                Trace_Event(slot, 0, "GetCommMask     ");
                return PRT_INTERNAL_ERROR;
            }
            if (flags == plat::kErrBreak) {
                // The printer asks for a resync: answer with our own break.
                plat::port_set_break(handle, true);
                plat::sleep_ms(kBreakMs);
                plat::port_set_break(handle, false);
                plat::sleep_ms(kBreakMs);
                const uint16_t n = ++S(slot).unit_counters[unit - 1][2];
                Trace_Event(slot, n, "RESYNC DETECT   ");
                return kLinkResyncSeen;
            }
            Trace_Value(slot, flags, "wait dsr on     ");
            Resync_Link(handle, slot, unit, 0);
            return PRT_COMM_ERROR;
        }
    }
    if (dsr_on && level_block && !plat::port_set_rts(handle, true)) {
        Trace_Event(slot, 0, "EscapeCommFunc 1");
        return PRT_INTERNAL_ERROR;
    }
    if (cts_mode == 2 || level_block) {
        uint32_t got = 0;
        if (count > 0 && (!plat::port_read(handle, buffer, count, &got) || got < count)) {
            Trace_Value(slot, got, "ReadFile  1     ");
            if (cts_mode == 1) plat::port_set_rts(handle, false);
            Resync_Link(handle, slot, unit, 0);
            return PRT_COMM_ERROR;
        }
    } else {
        for (uint16_t i = 0; i < count; ++i) {
            if (!plat::port_set_rts(handle, true)) {
                Trace_Event(slot, 0, "EscapeCommFunc 3");
                return PRT_INTERNAL_ERROR;
            }
            uint32_t got = 0;
            if (!plat::port_read(handle, buffer + i, 1, &got) || got < 1) {
                Trace_Value(slot, got, "ReadFile  2     ");
                plat::port_set_rts(handle, false);
                Resync_Link(handle, slot, unit, 0);
                return PRT_COMM_ERROR;
            }
            if (!plat::port_set_rts(handle, false)) {
                Trace_Event(slot, 0, "EscapeCommFunc 2");
                return PRT_INTERNAL_ERROR;
            }
        }
    }
    if (phase == 2 && cts_mode == 1) {
        if (!level_block) {
            if (!plat::port_set_rts(handle, true)) {
                Trace_Event(slot, 0, "EscapeCommFunc 4");
                return PRT_INTERNAL_ERROR;
            }
            bool off = false, last_on = false;
            if (!wait_dsr(handle, slot, false, &off, &last_on)) return PRT_INTERNAL_ERROR;
            if (!off && last_on) Trace_Event(slot, 3018, "wait dsr off    ");
        }
        if (!plat::port_set_rts(handle, false)) {
            Trace_Event(slot, 0, "EscapeCommFunc 5");
            return PRT_INTERNAL_ERROR;
        }
    }
    return 0;
}

uint16_t Check_Response(uint32_t handle, uint16_t length, int slot, uint16_t unit) {
    uint8_t* rx = L(slot).rx_frame;
    SlotShared& s = S(slot);
    if (!Frame_Ok(rx, length, rx + kRxCrcOffset)) return kLinkBadFrame;
    const uint8_t control = rx[6];
    s.echo_bit = control & kEchoBit;
    s.buffer_ready = control & kRoomBit;
    if (length <= 4) {
        if ((control & kTagBit) == s.data_tag) return kLinkAck;
        const uint16_t n = ++s.unit_counters[unit - 1][2];
        Trace_Event(slot, n, "TAG UNMATCH     ");
        return kLinkTagMismatch;
    }
    s.data_tag = control & kTagBit;
    uint8_t* d = rx + 7;
    uint16_t r = kStatusClean;
    if (unit == kUnitPrint) {
        s.prt_por_mark = 0xFF;
        if (d[0] & 0x80) {
            if (d[1] & 0x10) {
                r = PRT_DEVICE_ERROR;
            } else if (Restore_Code_Page(handle, d[2], d[4], slot) == PRT_CP_TRANSMIT_FAILED) {
                r = PRT_CP_TRANSMIT_FAILED;
            } else {
                r = PRT_DEVICE_EXCEPTION;
                ++s.prt_por_count;
            }
            Store_Status(slot, unit);
            return r;
        }
        if (s.collect_active != 0) return PRT_STATUS_AVAILABLE;
        if ((s.prt_model == 0xD0 || s.prt_model == 0x1A) && (d[2] & 0x01)) {
            uint8_t saved[5];
            std::memcpy(saved, d, 5);
            s.collect_active = 1;
            Collect_Data(handle, slot);
            s.collect_active = 0;
            std::memcpy(d, saved, 5);
        }
        const bool old_model = s.prt_model == 0x19 || s.prt_model == 0x40;
        if (d[1] & (old_model ? 0x1E : 0x1F)) r = PRT_DEVICE_ERROR;
        else if (d[2] & 0xE0) r = PRT_DEVICE_ERROR;
        else if (d[0] & 0x07) r = PRT_DEVICE_EXCEPTION;
        else if (d[1] & 0x20) r = PRT_DEVICE_EXCEPTION;
        else if (d[0] & 0x78) r = PRT_STATUS_AVAILABLE;
        else if (d[2] & 0x1E) r = PRT_STATUS_AVAILABLE;
        else if (old_model && (d[1] & 0x01)) r = PRT_STATUS_AVAILABLE;
    } else {
        s.rems_por_mark = 0xFF;
        const uint8_t q2 = d[2], q3 = d[3], q4 = d[4];
        if (q2 & 0x80) {
            if (q3 & 0x10) {
                r = PRT_DEVICE_ERROR;
            } else {
                Restore_Font(handle, s.prt_model, d[6], slot);
                s.rems_por_flag = 0xFF;
                r = PRT_DEVICE_EXCEPTION;
            }
        } else if ((q3 & 0x1C) || q4 != 0) {
            r = PRT_DEVICE_ERROR;
        } else if (q3 & 0x03) {
            r = PRT_DEVICE_EXCEPTION;
        } else if ((q2 & 0x07) || (q3 & 0x60)) {
            r = PRT_STATUS_AVAILABLE;
        }
    }
    Store_Status(slot, unit);
    return r;
}

void Store_Status(int slot, uint16_t unit) {
    SlotShared& s = S(slot);
    uint8_t* d = L(slot).rx_frame + 7;
    s.status_flag_10 = 0;
    uint16_t* rec;
    if (unit == kUnitPrint) {
        if (d[0] & 0x80) {
            s.unit_ext_status[0] = static_cast<uint16_t>(d[0] | (d[1] << 8));
            s.prt_features = d[3];
            s.unit_level[0] = d[4];
            s.prt_model = d[2];
            d[2] = d[3] = d[4] = 0;
        }
        rec = s.status_record;
        Build_Print_Record(d, s.prt_model, rec);
        if (d[1] & 0x10) s.status_flag_10 = 1;
        if ((s.trans_mode & 0x80) == 0) std::memcpy(s.latched_status, rec, sizeof s.latched_status);
    } else {
        if (d[2] & 0x80) {
            s.unit_ext_status[1] = static_cast<uint16_t>(d[2] | (d[3] << 8));
            s.rems_features = d[5];
            s.unit_level[1] = d[6];
            d[4] = d[5] = d[6] = d[7] = 0;
        }
        rec = s.status_record + 3;
        Build_Rems_Record(d, rec);
        if (d[3] & 0x10) s.status_flag_10 = 1;
    }
    if (rec[1] != 0) ++s.unit_counters[unit - 1][(rec[0] & 0x80) ? 1 : 0];
    if (unit == kUnitPrint && s.request_state != 3) std::memset(d, 0, 5);
}

namespace {
// Polls until the printer answers with something other than a plain acknowledgement,
// for at most kCollectMaxPolls polls.
uint16_t poll_for_part(uint32_t handle, int slot, int* polls) {
    uint16_t r = 0;
    while (r == 0 && *polls < kCollectMaxPolls) {
        ++*polls;
        r = Poll_Unit(handle, slot, kUnitPrint);
    }
    return r == 0 ? PRT_COMM_ERROR : r;
}
}  // namespace

uint16_t Collect_Data(uint32_t handle, int slot) {
    SlotShared& s = S(slot);
    uint8_t* buf = s.collect_buf;
    const uint8_t* d = L(slot).rx_frame + 7;
    constexpr int kRoom = static_cast<int>(sizeof s.collect_buf) - 1;
    buf[0] = 0;
    int polls = 0;
    uint16_t r = poll_for_part(handle, slot, &polls);
    if (r != PRT_STATUS_AVAILABLE) return r;
    // The announced count may exceed the buffer: every part is still taken from the
    // printer, but only what fits is kept, and the count byte tells what was kept.
    const int announced = d[0];
    int stored = 0;
    auto keep = [&](const uint8_t* from, int n) {
        for (int i = 0; i < n && stored < kRoom; ++i) buf[1 + stored++] = from[i];
    };
    uint8_t part[5];
    std::memcpy(part, d, 5);
    part[1] &= 0x7F;
    keep(part + 1, announced < 4 ? announced : 4);
    int remaining = announced - 4;
    while (remaining > 0) {
        r = poll_for_part(handle, slot, &polls);
        if (r != PRT_STATUS_AVAILABLE) {
            buf[0] = static_cast<uint8_t>(stored);
            return r;
        }
        std::memcpy(part, d, 5);
        part[1] &= 0x7F;
        keep(part, remaining < 5 ? remaining : 5);
        remaining -= 5;
    }
    buf[0] = static_cast<uint8_t>(stored);
    return r;
}

}  // namespace prtlink
