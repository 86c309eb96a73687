#include "prtlink/core/slots.h"

#include <cstring>
#include <new>
#include <string>

#include "platform/registry.h"
#include "prtlink/core/shared.h"
#include "prtlink/core/trace.h"

namespace prtlink {

SharedData* g_shared = nullptr;
ProcessData* g_proc = nullptr;

namespace {
prt::plat::SharedBlock g_block;

void init_shared(void* block) {
    auto* d = static_cast<SharedData*>(block);
    d->cfg_from_registry = 1;
    for (SlotShared& s : d->slot) {
        s.slot_state = kSlotClosed;
        s.buffer_ready = 0x40;
        static constexpr uint8_t kPoll[9] = {0x1B, 0x5B, 0x63, 0x04, 0x00, 0x01, 0xCD, 0x00, 0x00};
        std::memcpy(s.poll_frame, kPoll, sizeof kPoll);
        s.tx_frame[0] = 0x1B;
        s.tx_frame[1] = 0x5B;
        s.tx_frame[2] = 0x63;
        s.request_state = 1;
        s.rems_attr = 6;
        s.bg_mode = 1;
    }
}

bool entry_is(const OpenEntry& e, uint32_t pid, uint32_t handle) {
    return e.pid == pid && e.handle == handle;
}
}  // namespace

bool Process_Attach() {
    if (g_shared != nullptr) return true;
    std::string error;
    if (!g_block.attach("prtlink", kSharedMagic, kSharedVersion, sizeof(SharedData), init_shared,
                        &error)) {
        return false;
    }
    g_proc = new (std::nothrow) ProcessData("WPRAM1");
    if (g_proc == nullptr) {
        g_block.detach();
        return false;
    }
    g_shared = static_cast<SharedData*>(g_block.data());
    return true;
}

void Process_Detach() {
    if (g_shared == nullptr) return;
    Trace_Unmap_All();
    g_shared = nullptr;
    delete g_proc;
    g_proc = nullptr;
    g_block.detach();
}

uint16_t Find_Handle(uint32_t handle, int* slot) {
    const uint32_t pid = prt::plat::process_id();
    g_proc->global_lock.lock();
    uint16_t result = PRT_INVALID_HANDLE;
    for (int s = 0; s < kSlots && result != 0; ++s) {
        const SlotShared& sl = S(s);
        for (uint16_t i = 0; i < sl.open_count && i < kOpenEntries; ++i) {
            if (entry_is(sl.open_table[i], pid, handle)) {
                *slot = s;
                g_shared->found_index = i;
                result = 0;
                break;
            }
        }
    }
    g_proc->global_lock.unlock();
    return result;
}

uint16_t Drop_Handle(int slot, uint32_t handle) {
    const uint32_t pid = prt::plat::process_id();
    g_proc->global_lock.lock();
    SlotShared& s = S(slot);
    // found_index is one word for the whole machine: another process's lookup may have
    // changed it since our Find_Handle released the lock. Look the entry up again.
    for (uint16_t i = 0; i < s.open_count && i < kOpenEntries; ++i) {
        if (entry_is(s.open_table[i], pid, handle)) {
            g_shared->found_index = i;
            break;
        }
    }
    if (s.open_count > 0) {
        --s.open_count;
        s.slot_state = s.open_count > 0 ? kSlotOpen : kSlotClosed;
    }
    const uint16_t i = g_shared->found_index;
    const uint16_t n = s.open_count;
    uint16_t result = 0;
    if (i > n) {
        Trace_Event(slot, PRT_INTERNAL_ERROR, "Open Count      ");
        result = PRT_INTERNAL_ERROR;
    } else {
        for (uint16_t k = i; k < n; ++k) s.open_table[k] = s.open_table[k + 1];
        s.open_table[n] = OpenEntry{0, 0};
    }
    g_proc->global_lock.unlock();
    return result;
}

uint16_t Read_Config(uint16_t id, int item) {
    const int slot = (id >= 1 && id <= kSlots) ? id - 1 : 0;
    if (g_shared->cfg_from_registry == 0 && item >= 1 && item <= 5) {
        switch (item) {
            case kCfgComPort: return g_shared->ovr_com_port[slot];
            case kCfgBaudRate: return g_shared->ovr_baud_rate[slot];
            case kCfgStopBits: return g_shared->ovr_stop_bits[slot];
            case kCfgCodePage: return g_shared->ovr_code_page[slot];
            default: return 1;
        }
    }
    uint16_t def = 0;
    switch (item) {
        case kCfgComPort: def = id; break;
        case kCfgBaudRate: def = 9600; break;
        case kCfgStopBits: def = 2; break;
        case kCfgCodePage: def = 0; break;
        case kCfgCtsLine: def = 1; break;
        default: return 0;
    }
    static constexpr const char* kRoot = "HKEY_CLASSES_ROOT\\QTX_SBCS_FINANCE_PRINTERS";
    const prt::plat::Registry reg = prt::plat::Registry::load();
    if (!reg.has_key(kRoot)) return def;

    if (item == kCfgCtsLine) {
        const auto v = reg.value(kRoot, "CTS_Line");
        if (v && v->type == prt::plat::RegType::Dword) return static_cast<uint16_t>(v->dword);
        return def;
    }
    std::string sub = std::string(kRoot) + "\\PRINTER_1";
    sub.back() = static_cast<char>('0' + (id % 10));
    if (!reg.has_key(sub)) return def;
    static constexpr const char* kNames[] = {"", "ComPort", "BaudRate", "StopBits", "CodePage"};
    const auto v = reg.value(sub, kNames[item]);
    // Only 32-bit numbers count; any other type is treated as a missing value.
    if (!v || v->type != prt::plat::RegType::Dword) return def;
    const uint32_t x = v->dword;
    switch (item) {
        case kCfgComPort:
            if (x < 1 || x > 256) {
                Trace_Event(slot, 3021, "Validate ComPort");
                return def;
            }
            break;
        case kCfgBaudRate:
            if (x != 19200 && x != 9600 && x != 4800 && x != 2400 && x != 1200) {
                Trace_Event(slot, 3022, "Validate Baud   ");
                return def;
            }
            break;
        case kCfgStopBits:
            if (x != 1 && x != 2) {
                Trace_Event(slot, 3023, "Validate Stop   ");
                return def;
            }
            break;
        default: break;
    }
    return static_cast<uint16_t>(x);
}

}  // namespace prtlink
