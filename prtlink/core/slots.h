// Printer slots: the open table, its lookup, and the printers' configuration.
#pragma once

#include <cstdint>

namespace prtlink {

// Configuration items of Read_Config.
constexpr int kCfgComPort = 1;
constexpr int kCfgBaudRate = 2;
constexpr int kCfgStopBits = 3;
constexpr int kCfgCodePage = 4;
constexpr int kCfgCtsLine = 5;

// The slot whose open table holds the calling process's `handle`: 0, or 1284.
uint16_t Find_Handle(uint32_t handle, int* slot);

// Removes the calling process's entry for `handle` from the slot's row (the entry
// Find_Handle found): 0, or 1292 when the index is beyond the count.
uint16_t Drop_Handle(int slot, uint32_t handle);

// One configuration item of printer `id` (1..4), from the registry or the override table.
uint16_t Read_Config(uint16_t id, int item);

}  // namespace prtlink
