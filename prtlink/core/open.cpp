// Opening and closing a printer, and the RTS line mode.
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/port.h"
#include "platform/registry.h"
#include "prtlink/core/shared.h"
#include "prtlink/core/slots.h"
#include "prtlink/core/trace.h"

namespace prtlink {
namespace {

constexpr size_t kTimerStack = 4096;

// The open-retry timer of one open call. The shared open_timer_args and
// open_timer_expired are kept up to date for anyone who reads the slot, but the retry
// loop reads this call's own flag: the lock is not held during retries (see Open_Port),
// so two opens of one slot may be retrying at the same time and must not stop each other.
struct OpenTimerCall {
    prt::plat::Event stop{true, false};
    std::atomic<uint32_t> expired{0};
    std::atomic<int> refs{2};
    uint32_t time_out = 0;
    int slot = 0;

    void unref() {
        if (refs.fetch_sub(1) == 1) delete this;
    }
};

void Open_Timer(void* arg) {
    auto* call = static_cast<OpenTimerCall*>(arg);
    if (call->stop.wait(call->time_out) == prt::plat::kWaitTimeout) {
        call->expired.store(1);
        if (g_shared != nullptr) S(call->slot).open_timer_expired = 1;
    }
    call->unref();
}

void put_be16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void put_be32(uint8_t* p, uint32_t v) {
    put_be16(p, static_cast<uint16_t>(v >> 16));
    put_be16(p + 2, static_cast<uint16_t>(v));
}

void trace_open_args(int slot, uint16_t id, int32_t time_out) {
    uint8_t rec[8] = {};
    put_be16(rec, id);
    put_be32(rec + 2, static_cast<uint32_t>(time_out));
    if (g_shared->cfg_from_registry == 1) {
        Trace_Bytes(slot, rec, "PrtOpenDeviceLst");
        return;
    }
    put_be16(rec + 6, g_shared->ovr_com_port[slot]);
    Trace_Bytes(slot, rec, "PrtOpenDevPrmLst");
    uint8_t rec2[8] = {};
    put_be16(rec2, g_shared->ovr_baud_rate[slot]);
    put_be16(rec2 + 2, g_shared->ovr_stop_bits[slot]);
    put_be16(rec2 + 4, g_shared->ovr_code_page[slot]);
    Trace_Bytes(slot, rec2, "PrtOpenDevPrmLst");
}

bool try_open(const std::string& device, uint32_t* out) {
    uint32_t h = prt::plat::kInvalidHandle;
    const bool ok = prt::plat::port_open(device, &h);
    *out = ok ? h : prt::plat::kInvalidHandle;
    return ok;
}

void remove_entry(int slot, uint32_t pid, uint32_t handle) {
    SlotShared& s = S(slot);
    for (int i = kOpenEntries - 1; i >= 0; --i) {
        if (s.open_table[i].pid == pid && s.open_table[i].handle == handle) {
            for (int k = i; k + 1 < kOpenEntries; ++k) s.open_table[k] = s.open_table[k + 1];
            s.open_table[kOpenEntries - 1] = OpenEntry{0, 0};
            if (s.open_count > 0 && i < s.open_count) --s.open_count;
            return;
        }
    }
}

// Entries of processes that died without closing: their ports are closed by the system,
// and a row that still counted them would keep the slot "open" so that the next open
// skipped the port set-up.
void drop_dead_entries(int slot) {
    SlotShared& s = S(slot);
    uint16_t kept = 0;
    for (uint16_t i = 0; i < s.open_count && i < kOpenEntries; ++i) {
        if (prt::plat::process_alive(s.open_table[i].pid)) s.open_table[kept++] = s.open_table[i];
    }
    if (kept == s.open_count) return;
    for (uint16_t i = kept; i < kOpenEntries; ++i) s.open_table[i] = OpenEntry{0, 0};
    s.open_count = kept;
    if (kept == 0) s.slot_state = kSlotClosed;
}

// The body of an open; runs holding global_lock, which it gives up while it retries.
uint16_t Open_Port(uint32_t* out, uint32_t id_arg, int32_t time_out) {
    const uint16_t id = static_cast<uint16_t>(id_arg);
    const int slot = (id >= 1 && id <= kSlots) ? id - 1 : 0;
    Trace_Attach(slot);
    trace_open_args(slot, id, time_out);

    uint16_t result = 0;
    if (id < 1 || id > kSlots) {
        result = PRT_INVALID_PRINTER_ID;
    } else if (time_out < -1) {
        result = PRT_INVALID_PARAMETERS;
    } else {
        if (g_shared->cts_mode == 0) g_shared->cts_mode = Read_Config(id, kCfgCtsLine);
        const uint16_t com = Read_Config(id, kCfgComPort);

        SlotShared& s = S(slot);
        s.open_timer_expired = 0;
        s.open_timer_args = TimerArgs{static_cast<uint16_t>(slot), static_cast<uint32_t>(time_out)};
        auto* call = new OpenTimerCall;
        call->time_out = time_out == -1 ? prt::plat::kInfinite : static_cast<uint32_t>(time_out);
        call->slot = slot;
        if (!prt::plat::start_thread(Open_Timer, call, kTimerStack)) {
            delete call;
            Trace_Event(slot, 0, "CreateTimer     ");
            result = PRT_ALREADY_OPEN;
        } else {
            const std::string device = prt::plat::com_device(com);
            bool open = try_open(device, out);
            if (!open && time_out != 0 && call->expired.load() == 0) {
                // Retrying under global_lock would stall every driver call of the machine,
                // and a holder of the port in this driver could never close it (close
                // needs the lock): retry without it.
                g_proc->global_lock.unlock();
                while (!open && call->expired.load() == 0) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    open = try_open(device, out);
                }
                g_proc->global_lock.lock();
            }
            call->stop.set();
            call->unref();

            if (!open) {
                result = PRT_ALREADY_OPEN;
            } else {
                const uint32_t pid = prt::plat::process_id();
                drop_dead_entries(slot);
                const uint32_t handle = *out;
                s.open_table[s.open_count] = OpenEntry{pid, handle};
                if (s.open_count < kOpenEntries - 1) ++s.open_count;
                if (s.slot_state == kSlotClosed) {
                    prt::plat::LineSettings ls;
                    ls.baud = Read_Config(id, kCfgBaudRate);
                    ls.stop_bits = Read_Config(id, kCfgStopBits) == 1 ? 1 : 2;
                    if (!prt::plat::port_configure(handle, ls) || !prt::plat::port_purge(handle)) {
                        Trace_Event(slot, 0, "SetCommState    ");
                        result = PRT_INTERNAL_ERROR;
                    } else if (g_shared->cts_mode == 1 || g_shared->cts_mode == 2) {
                        if (!prt::plat::port_set_dtr(handle, true) ||
                            !prt::plat::port_set_rts(handle, g_shared->cts_mode == 2)) {
                            Trace_Event(slot, 0, "EscapeCommFunc 0");
                            result = PRT_INTERNAL_ERROR;
                        }
                    } else {
                        Trace_Event(slot, 0, "Invalid CTS set ");
                        result = PRT_INTERNAL_ERROR;
                    }
                    if (result != 0) {
                        prt::plat::port_close(handle);
                        // The closed handle's number will be reused by the system; an
                        // entry left behind would later match a different port.
                        remove_entry(slot, pid, handle);
                    } else {
                        s.slot_state = kSlotOpen;
                    }
                }
            }
        }
    }
    Trace_Event(slot, result, "PrtOpenDevice   ");
    return result;
}

bool valid_code_page(uint16_t cp) {
    static constexpr uint16_t kPages[] = {0,   437, 813, 850, 851, 852, 855, 857, 860, 862,
                                          863, 864, 865, 866, 868, 869, 874, 876, 877};
    for (uint16_t p : kPages) {
        if (p == cp) return true;
    }
    return false;
}

}  // namespace

extern "C" {

PRTLINK_API uint16_t PrtOpenDeviceX(uint32_t* handle, uint32_t printer_id, int32_t time_out_ms) {
    if (g_shared == nullptr) return PRT_INTERNAL_ERROR;
    g_proc->global_lock.lock();
    const uint16_t result = Open_Port(handle, printer_id, time_out_ms);
    g_proc->global_lock.unlock();
    return result;
}

PRTLINK_API uint16_t PrtOpenDeviceParmsX(uint32_t* handle, uint32_t printer_id,
                                         int32_t time_out_ms, uint32_t com_port,
                                         uint32_t baud_rate, uint32_t stop_bits,
                                         uint32_t code_page) {
    if (g_shared == nullptr) return PRT_INTERNAL_ERROR;
    const uint16_t id = static_cast<uint16_t>(printer_id);
    const uint16_t com = static_cast<uint16_t>(com_port);
    const uint16_t baud = static_cast<uint16_t>(baud_rate);
    const uint16_t stop = static_cast<uint16_t>(stop_bits);
    const uint16_t cp = static_cast<uint16_t>(code_page);
    uint16_t result;
    if (com < 1 || com > 256 ||
        (baud != 19200 && baud != 9600 && baud != 4800 && baud != 2400 && baud != 1200) ||
        (stop != 1 && stop != 2) || !valid_code_page(cp)) {
        result = PRT_INVALID_PARAMETERS;
    } else {
        g_shared->cfg_from_registry = 0;
        if (id >= 1 && id <= kSlots) {
            g_shared->ovr_com_port[id - 1] = com;
            g_shared->ovr_baud_rate[id - 1] = baud;
            g_shared->ovr_stop_bits[id - 1] = stop;
            g_shared->ovr_code_page[id - 1] = cp;
        }
        result = PrtOpenDeviceX(handle, printer_id, time_out_ms);
    }
    if (id >= 1 && id <= kSlots) Trace_Event(id - 1, result, "PrtOpenDevicePrm");
    return result;
}

PRTLINK_API uint16_t PrtSetCTSLineX(uint32_t mode_arg) {
    if (g_shared == nullptr) return PRT_INTERNAL_ERROR;
    const uint16_t mode = static_cast<uint16_t>(mode_arg);
    uint16_t result;
    if (g_shared->cts_mode != 0) {
        result = PRT_INTERNAL_ERROR;
    } else if (mode == 1 || mode == 2) {
        g_shared->cts_mode = mode;
        result = 0;
    } else {
        result = PRT_INVALID_PARAMETERS;
    }
    if (mode < kSlots) Trace_Event(mode, result, "PrtSetCTSLine   ");
    return result;
}

PRTLINK_API uint16_t PrtCloseDeviceX(uint32_t handle) {
    if (g_shared == nullptr) return PRT_INTERNAL_ERROR;
    int slot = 0;
    uint16_t result = Find_Handle(handle, &slot);
    if (result == 0) {
        L(slot).thread_idle_event.wait(prt::plat::kInfinite);
        if (!prt::plat::port_close(handle)) {
            Trace_Event(slot, 0, "CloseHandle     ");
            result = PRT_INTERNAL_ERROR;
        } else {
            SlotShared& s = S(slot);
            std::memset(s.status_record, 0, sizeof s.status_record);
            s.prt_por_mark = 0;
            s.rems_por_mark = 0;
            s.pending_result = 0;
            result = Drop_Handle(slot, handle);
            // Closing the transaction holder's handle ends its transaction.
            if (result == 0 && s.owner_handle == handle &&
                s.owner_pid == prt::plat::process_id()) {
                L(slot).trans_sem.release();
            }
        }
    }
    g_shared->cfg_from_registry = 1;
    Trace_Event(slot, result, "PrtCloseDevice  ");
    return result;
}

}  // extern "C"

}  // namespace prtlink
