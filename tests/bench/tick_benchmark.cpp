// The clock tick runs 20 times a second for the life of the program; its idle path (no
// synchronisation due) must cost next to nothing.
#include <benchmark/benchmark.h>

#include "tests/fakes/fake_platform.h"
#include "timeservice/tick.h"

namespace {

void IdleTick(benchmark::State& state, int autoState) {
    FakeProgram f;
    f.window.checks[ControlId::chkAuto] = autoState;
    f.window.texts[ControlId::txtInterval] = "15";
    f.clock.secondsSinceMidnight = 36000;
    f.program.LastSyncTime = 35990;  // set ten seconds ago: not due
    for (auto _ : state) {
        TimerTimeTick(f.program);
        benchmark::DoNotOptimize(f.window.clockLabelWrites);
    }
}

void BM_TickAutoOff(benchmark::State& state) {
    IdleTick(state, 0);
}
void BM_TickAutoOnNotDue(benchmark::State& state) {
    IdleTick(state, 1);
}

void BM_TickDecisionOnly(benchmark::State& state) {
    FakeProgram f;
    f.window.checks[ControlId::chkAuto] = 1;
    f.window.texts[ControlId::txtInterval] = "15";
    f.clock.secondsSinceMidnight = 36000;
    f.program.LastSyncTime = 35990;
    for (auto _ : state) {
        AutoSynchronize(f.program);
    }
}

BENCHMARK(BM_TickAutoOff);
BENCHMARK(BM_TickAutoOnNotDue);
BENCHMARK(BM_TickDecisionOnly);

}  // namespace

BENCHMARK_MAIN();
