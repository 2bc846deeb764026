// The clock tick runs 20 times a second for the life of the program; its idle path (no
// synchronisation due) must cost next to nothing.
#include <benchmark/benchmark.h>

#include "tests/fakes/fake_platform.h"
#include "timeservice/time_service.h"

namespace {

// Set ten seconds ago: not due.
void SetTenSecondsAgo(FakeTimeService& f, CheckBoxState autoState) {
    f.SynchronizeAt(35990);
    f.clock.secondsSinceMidnight = 36000;
    f.controls.autoState = autoState;
}

void IdleTick(benchmark::State& state, CheckBoxState autoState) {
    FakeTimeService f;
    SetTenSecondsAgo(f, autoState);
    for (auto _ : state) {
        f.service.TimerTimeTick();
        benchmark::DoNotOptimize(f.controls.clockWrites);
    }
}

void BM_TickAutoOff(benchmark::State& state) {
    IdleTick(state, kOff);
}
void BM_TickAutoOnNotDue(benchmark::State& state) {
    IdleTick(state, kOn);
}

void BM_TickDecisionOnly(benchmark::State& state) {
    FakeTimeService f;
    SetTenSecondsAgo(f, kOn);
    for (auto _ : state) {
        f.service.AutoSynchronize();
    }
}

BENCHMARK(BM_TickAutoOff);
BENCHMARK(BM_TickAutoOnNotDue);
BENCHMARK(BM_TickDecisionOnly);

}  // namespace

BENCHMARK_MAIN();
