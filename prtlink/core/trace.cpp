#include "prtlink/core/trace.h"

#include <cstring>
#include <string>

#include "platform/clock.h"
#include "platform/names.h"
#include "prtlink/core/shared.h"

namespace prtlink {
namespace {

std::string section_name(int slot) {
    return prt::plat::posix_name("WPLOG" + std::to_string(slot + 1));
}

inline uint32_t load_u32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

inline void store_u32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }

// This process's view of the slot's section, mapped on first use.
uint8_t* view_of(int slot) {
    SlotLocal& l = L(slot);
    uint8_t* v = l.trace_view.load(std::memory_order_acquire);
    if (v != nullptr || l.trace_map_failed.load(std::memory_order_relaxed)) return v;
    v = static_cast<uint8_t*>(prt::plat::section_open(section_name(slot), kTraceSectionSize));
    if (v == nullptr) {
        l.trace_map_failed.store(true, std::memory_order_relaxed);
        return nullptr;
    }
    uint8_t* expected = nullptr;
    if (!l.trace_view.compare_exchange_strong(expected, v)) {
        prt::plat::section_unmap(v, kTraceSectionSize);
        v = expected;
    }
    return v;
}

void write_record(int slot, const uint8_t kind_bytes[8], const TraceTag& tag) {
    if (g_shared == nullptr || slot < 0 || slot >= kSlots) return;
    SlotShared& s = S(slot);
    if (s.trace_on == 0) return;
    uint8_t* base = view_of(slot);
    if (base == nullptr) return;

    // The position comes from the header so that every process continues the same ring;
    // a header the viewer has just reset (or garbage) restarts at the first record.
    uint32_t pos = load_u32(base);
    if (pos < kTraceFirstRecord || pos > kTraceMaxCount || pos % 32 != 0) pos = kTraceFirstRecord;
    uint32_t count = load_u32(base + 4);
    if (count > kTraceMaxCount) count = kTraceMaxCount;

    const prt::plat::UtcTime t = prt::plat::utc_now();
    uint8_t* r = base + pos;
    r[0] = static_cast<uint8_t>(t.year % 100);
    r[1] = static_cast<uint8_t>(t.month);
    r[2] = static_cast<uint8_t>(t.day);
    r[3] = static_cast<uint8_t>(t.hour);
    r[4] = static_cast<uint8_t>(t.minute);
    r[5] = static_cast<uint8_t>(t.second);
    r[6] = static_cast<uint8_t>(t.millisecond & 0xFF);
    r[7] = static_cast<uint8_t>(t.millisecond >> 8);
    std::memcpy(r + 8, kind_bytes, 8);
    std::memcpy(r + 16, tag, 16);

    pos += 32;
    if (pos >= kTraceSectionSize) pos = kTraceFirstRecord;
    count = count < kTraceMaxCount ? count + 32 : kTraceMaxCount;
    s.trace_count = count;
    store_u32(base, pos);
    store_u32(base + 4, count);
}

}  // namespace

void Trace_Attach(int slot) {
    if (g_shared == nullptr || slot < 0 || slot >= kSlots) return;
    SlotShared& s = S(slot);
    L(slot).trace_map_failed.store(false, std::memory_order_relaxed);
    if (s.trace_on != 0) return;
    uint8_t* base = view_of(slot);
    if (base == nullptr) return;
    store_u32(base, kTraceFirstRecord);
    s.trace_on = 1;
}

void Trace_Event(int slot, uint16_t code, const TraceTag& tag) {
    const uint8_t b[8] = {0, 0, 0, 0, 0, static_cast<uint8_t>(code >> 12),
                          static_cast<uint8_t>((code >> 8) & 0x0F), static_cast<uint8_t>(code)};
    write_record(slot, b, tag);
}

void Trace_Value(int slot, uint32_t value, const TraceTag& tag) {
    const uint8_t b[8] = {0,
                          0,
                          0,
                          0,
                          static_cast<uint8_t>(value >> 24),
                          static_cast<uint8_t>(value >> 16),
                          static_cast<uint8_t>(value >> 8),
                          static_cast<uint8_t>(value)};
    write_record(slot, b, tag);
}

void Trace_Bytes(int slot, const uint8_t* bytes8, const TraceTag& tag) {
    write_record(slot, bytes8, tag);
}

void Trace_Unmap_All() {
    if (g_proc == nullptr) return;
    for (int i = 0; i < kSlots; ++i) {
        uint8_t* v = L(i).trace_view.exchange(nullptr);
        prt::plat::section_unmap(v, kTraceSectionSize);
    }
}

}  // namespace prtlink
