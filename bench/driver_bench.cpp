// What the driver's hot paths cost: a trace record, a frame check, and one poll exchange
// with the emulated printer over loopback in each read handshake (wire timing off, so the
// time is the driver's and the transport's; a 9600-baud line adds about 19 ms a poll).
#include <benchmark/benchmark.h>

#include <vector>

#include "emulator/emulator.h"
#include "platform/clock.h"
#include "prtlink.h"
#include "prtlink/core/shared.h"
#include "prtlink/core/trace.h"
#include "prtlink/link/frames.h"
#include "prtlink/link/link.h"
#include "tests/support/driver_env.h"

namespace {

void BM_TraceEvent(benchmark::State& state) {
    prt::test::DriverEnv env;
    env.create_trace(1);
    prtlink::Process_Attach();
    prtlink::Trace_Attach(0);
    for (auto _ : state) prtlink::Trace_Event(0, 1286, "PrtBeginTrans   ");
    prtlink::Process_Detach();
}
BENCHMARK(BM_TraceEvent);

void BM_CalcCrcFullFrame(benchmark::State& state) {
    std::vector<uint8_t> frame(263, 0x5A);
    for (auto _ : state) benchmark::DoNotOptimize(prtlink::Calc_Crc(frame.data(), 263));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 263);
}
BENCHMARK(BM_CalcCrcFullFrame);

// state.range(0): CTS mode; range(1): print-unit level (0x42 selects block reads).
void BM_PollExchange(benchmark::State& state) {
    prt::test::DriverEnv env;
    prt::emu::Config cfg;
    cfg.long_on = true;
    cfg.level = static_cast<uint8_t>(state.range(1));
    prt::emu::Emulator emu(cfg);
    emu.start("127.0.0.1", 0);
    env.configure_printer(1, emu.url(), static_cast<int>(state.range(0)));
    prtlink::Process_Attach();
    uint32_t h = 0;
    PrtOpenDeviceX(&h, 1, 0);
    PrtBeginTransX(h, 0);  // identifies the printer (link reset)
    for (auto _ : state) benchmark::DoNotOptimize(prtlink::Poll_Unit(h, 0, 1));
    PrtEndTransX(h);
    PrtCloseDeviceX(h);
    prtlink::Process_Detach();
}
BENCHMARK(BM_PollExchange)
    ->ArgNames({"cts", "level"})
    ->Args({1, 0x30})
    ->Args({1, 0x42})
    ->Args({2, 0x30})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
