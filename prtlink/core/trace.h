// The trace log: 32-byte records in each printer's trace section ("WPLOG1".."WPLOG4"),
// created by the trace viewer. Tracing never fails an operation and never changes a code.
//
// Tags are exactly 16 bytes; taking them as 16-character literals lets the compiler check
// the length. Slots outside 0..3, and slots without a log, write nothing.
#pragma once

#include <cstdint>

namespace prtlink {

constexpr uint32_t kTraceSectionSize = 65536;
constexpr uint32_t kTraceFirstRecord = 32;
constexpr uint32_t kTraceMaxCount = 65504;

using TraceTag = char[17];

// Switches the slot's log on when the viewer's section exists and the log is still off.
void Trace_Attach(int slot);

void Trace_Event(int slot, uint16_t code, const TraceTag& tag);
void Trace_Value(int slot, uint32_t value, const TraceTag& tag);
void Trace_Bytes(int slot, const uint8_t* bytes8, const TraceTag& tag);

// Drops this process's section views (at detach).
void Trace_Unmap_All();

}  // namespace prtlink
