// The poll exchange and its recovery.
//
// Every exchange goes through Poll_Unit: purge, one poll frame out, one answer in with the
// modem-line handshake of the printer's interface, the answer checked and classified, a
// status acknowledged by a further poll, and a ladder of repeats, breaks and link resets
// around it. Callers hold the printer's link_sem, or own its transaction (transaction
// start, driver reset). Results are completion codes or the link results of shared.h.
#pragma once

#include <cstdint>

namespace prtlink {

uint16_t Send_Poll(uint32_t handle, int slot, uint16_t unit);
uint16_t Read_Response(uint32_t handle, int slot, uint16_t unit);
// Reads `count` bytes with the handshake of `phase` (0 header, 1 data, 2 CRC).
uint16_t Read_Link(uint32_t handle, int slot, uint16_t unit, uint16_t count, uint8_t* buffer,
                   int phase);
uint16_t Check_Response(uint32_t handle, uint16_t length, int slot, uint16_t unit);
void Store_Status(int slot, uint16_t unit);
uint16_t Collect_Data(uint32_t handle, int slot);

uint16_t Poll_Unit(uint32_t handle, int slot, uint16_t unit);
// mode 0xFF: break and link reset; any other mode: break only.
uint16_t Resync_Link(uint32_t handle, int slot, uint16_t unit, uint16_t mode);
uint16_t Link_Reset(uint32_t handle, int slot);
uint16_t Check_Cts(uint32_t handle, int slot);
uint16_t Purge_Port(uint32_t handle, int slot);

// Whether the printer has a REMS unit, by the identification of its last POR status.
bool Has_Rems_Unit(int slot);

// Polls a multi-part answer may take before Collect_Data gives up.
constexpr int kCollectMaxPolls = 200;
// Polls a link reset waits for the POR status of the print unit and of the REMS unit.
constexpr int kPorPrintPolls = 200;
constexpr int kPorRemsPolls = 210;
constexpr uint32_t kPollGapMs = 32;
constexpr uint32_t kBreakMs = 10;

}  // namespace prtlink
