// The driver's state: one block shared by every process of the namespace that has the
// driver loaded (per-printer slots and global words), and the objects each process keeps
// for itself (locks, events, receive buffers, trace views).
//
// Shared fields are plain data: no pointers (a mapping address means nothing in another
// process). Field names follow the driver's vocabulary.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/shared_block.h"
#include "platform/sync.h"
#include "prtlink.h"

namespace prtlink {

constexpr int kSlots = 4;
constexpr int kOpenEntries = 16;
constexpr uint32_t kSharedMagic = 0x4B4C5450u;  // "PTLK"
constexpr uint32_t kSharedVersion = 1;

// slot_state
constexpr uint16_t kSlotClosed = 1;
constexpr uint16_t kSlotOpen = 2;
constexpr uint16_t kSlotInTrans = 3;

// Units of a printer; index 0 print unit, 1 REMS unit in the per-unit arrays.
constexpr uint16_t kUnitPrint = 1;
constexpr uint16_t kUnitRems = 2;

constexpr uint32_t kLinkSemTimeoutMs = 34560;
constexpr size_t kRxFrameSize = 123;
constexpr size_t kTxFrameSize = 265;

// Internal results of the link layer, beside the completion codes.
constexpr uint16_t kLinkAck = 0;
constexpr uint16_t kLinkBadFrame = 1;
constexpr uint16_t kLinkTagMismatch = 2;
constexpr uint16_t kLinkResyncSeen = 3;
constexpr uint16_t kStatusClean = 238;
constexpr uint16_t kFontNotRestored = 1296;

// One entry of a slot's open table. The design packed (pid << 16) | handle into 32 bits,
// which loses the high bits of Linux process ids; the full pair is kept instead.
struct OpenEntry {
    uint32_t pid;
    uint32_t handle;
};

struct TimerArgs {
    uint16_t slot;
    uint32_t time_out;
};

struct SlotShared {
    OpenEntry open_table[kOpenEntries];
    uint16_t open_count;
    uint16_t slot_state;
    uint32_t owner_pid;
    uint32_t owner_handle;
    uint16_t trans_mode;
    uint16_t prt_por_count;
    uint16_t rems_por_flag;
    uint16_t prt_por_mark;
    uint16_t rems_por_mark;
    uint8_t prt_model;
    uint8_t prt_features;
    uint8_t rems_features;
    uint16_t unit_ext_status[2];
    uint8_t unit_level[2];
    uint16_t status_record[6];  // print unit words 0..2, REMS unit words 3..5
    uint16_t latched_status[3];
    uint16_t status_flag_10;
    uint16_t pending_result;
    uint16_t cur_code_page;
    uint16_t cp_state;
    uint16_t cp_check;
    TimerArgs open_timer_args;
    uint32_t open_timer_expired;

    // Trace log: whether the slot's log is on, and the bytes written so far. Each process
    // maps its own view; the write position lives in the section's header.
    uint32_t trace_on;
    uint32_t trace_count;

    // Link state.
    uint8_t data_tag;
    uint8_t echo_bit;
    uint8_t buffer_ready;
    uint8_t poll_frame[9];
    uint8_t tx_frame[kTxFrameSize];
    uint8_t tx_copy[kTxFrameSize];
    uint16_t request_state;
    uint16_t retransmit_mark;
    uint16_t resync_active;
    uint16_t por_required;
    uint16_t unit_counters[2][4];
    uint8_t collect_buf[33];
    uint32_t collect_active;
    TimerArgs status_timer_args;
    uint32_t status_timer_expired;
    uint16_t rems_attr;
    uint16_t bg_mode;
    uint16_t bg_thread_arg;
};

struct SharedData {
    prt::plat::SharedHeader header;
    uint16_t found_index;
    uint32_t cfg_from_registry;
    uint16_t ovr_com_port[kSlots];
    uint16_t ovr_baud_rate[kSlots];
    uint16_t ovr_stop_bits[kSlots];
    uint16_t ovr_code_page[kSlots];
    uint16_t cts_mode;
    SlotShared slot[kSlots];
};

// Objects and buffers of one process.
struct SlotLocal {
    prt::plat::Semaphore trans_sem{1, 1};
    prt::plat::Semaphore link_sem{1, 1};
    prt::plat::Event thread_idle_event{true, true};
    prt::plat::Event status_timer_event{true, true};
    // The open-retry timer has an event per open call (open.cpp), not one per slot.
    uint8_t rx_frame[kRxFrameSize] = {};
    uint8_t rems_cmd[256] = {};
    uint8_t micr_cmd[256] = {};
    std::atomic<uint8_t*> trace_view{nullptr};
    std::atomic<bool> trace_map_failed{false};
};

struct ProcessData {
    explicit ProcessData(const char* lock_name) : global_lock(lock_name) {}
    prt::plat::NamedLock global_lock;
    SlotLocal slot[kSlots];
};

// Set while the driver is attached in this process; null otherwise.
extern SharedData* g_shared;
extern ProcessData* g_proc;

inline SlotShared& S(int slot) { return g_shared->slot[slot]; }
inline SlotLocal& L(int slot) { return g_proc->slot[slot]; }

// Attaches this process to the namespace's shared block and creates the per-process
// objects. Returns false (and the driver answers 1292 everywhere) when the block cannot
// be had, for instance because a build of another layout is using it.
bool Process_Attach();
void Process_Detach();

}  // namespace prtlink
