// Preloaded into an OpenMP program built against LLVM's libomp: a tool of its
// tools interface (OMPT). libomp looks for ompt_start_tool in the process's
// global scope, where a preloaded library comes first, so no OMP_TOOL_LIBRARIES
// is needed; sleep.cpp wraps the sleeps.
//
// It writes what openmp.cpp writes for libgomp: a span for each outermost
// region on the thread that opened it, and each thread's share, from its
// implicit task's start to the barrier at the region's end. A worker hears of
// its task's end only when the next region starts or the runtime shuts down,
// so the share is closed as that barrier begins.
//
// The critical section is left alone, as under libgomp. queuedrain enters it
// 100,000 times in a 2.5 ms phase; the mutex callbacks that would say how long
// each entry waited add 13 % to it doing nothing, and make it 2.7 times as
// long reading the clock (see docs/tracing.md).
#include <omp-tools.h>

#include "record.h"
#include "sleep.h"

using namespace parbench_trace;

namespace {

thread_local int depth = 0;             // implicit tasks this thread is in, the initial one aside
thread_local std::int64_t shareStart;   // while `lane` is set

ompt_get_task_info_t taskInfo = nullptr;

void closeShare() {
    if (lane < 0) return;
    record({Kind::Region, lane, shareStart, now(), 0, nullptr});
    lane = -1;
}

void parallelBegin(ompt_data_t*, const ompt_frame_t*, ompt_data_t* parallel, unsigned, int, const void*) {
    parallel->value = depth == 0 ? static_cast<std::uint64_t>(now()) : 0;
}

void parallelEnd(ompt_data_t* parallel, ompt_data_t*, int, const void*) {
    if (parallel->value != 0) record({Kind::Span, -1, static_cast<std::int64_t>(parallel->value), now(), 0, nullptr});
}

// A nested region's threads are left alone, as openmp.cpp leaves them: only an
// outermost region's parallel data holds its start.
void implicitTask(ompt_scope_endpoint_t endpoint, ompt_data_t* parallel, ompt_data_t*, unsigned, unsigned index,
                  int flags) {
    if (flags & ompt_task_initial) return;
    if (endpoint == ompt_scope_begin) {
        if (depth++ == 0 && parallel->value != 0) {
            lane = static_cast<int>(index);
            shareStart = now();
        }
    } else if (--depth == 0) {
        closeShare();  // a team of one has no barrier at its end
    }
}

// Whether the task has left the region's code: libomp 14 gives the barrier at
// a region's end and the one at a loop's end the same kind.
bool outsideUserCode() {
    int flags = 0, thread = 0;
    ompt_data_t* task = nullptr;
    ompt_data_t* parallel = nullptr;
    ompt_frame_t* frame = nullptr;
    // 2: the task is there and its frame is known.
    return taskInfo(0, &flags, &task, &frame, &parallel, &thread) == 2 && frame && !frame->exit_frame.ptr;
}

void syncRegion(ompt_sync_region_t kind, ompt_scope_endpoint_t endpoint, ompt_data_t*, ompt_data_t*, const void*) {
    if (endpoint != ompt_scope_begin || depth != 1 || lane < 0) return;
    if (kind == ompt_sync_region_barrier_implicit_parallel ||
        (kind == ompt_sync_region_barrier_implicit && outsideUserCode())) {
        closeShare();
    }
}

int initialize(ompt_function_lookup_t lookup, int, ompt_data_t*) {
    const auto set = reinterpret_cast<ompt_set_callback_t>(lookup("ompt_set_callback"));
    taskInfo = reinterpret_cast<ompt_get_task_info_t>(lookup("ompt_get_task_info"));
    if (!set || !taskInfo) return 0;
    // Each must come every time: a runtime that gives one only sometimes gets
    // no figures rather than wrong ones.
    const bool given =
        set(ompt_callback_parallel_begin, reinterpret_cast<ompt_callback_t>(parallelBegin)) == ompt_set_always &&
        set(ompt_callback_parallel_end, reinterpret_cast<ompt_callback_t>(parallelEnd)) == ompt_set_always &&
        set(ompt_callback_implicit_task, reinterpret_cast<ompt_callback_t>(implicitTask)) == ompt_set_always &&
        set(ompt_callback_sync_region, reinterpret_cast<ompt_callback_t>(syncRegion)) == ompt_set_always;
    return given ? 1 : 0;
}

void finalize(ompt_data_t*) {}

}  // namespace

extern "C" __attribute__((visibility("default"))) ompt_start_tool_result_t* ompt_start_tool(unsigned, const char*) {
    // Untraced, the runtime runs with no tool at all.
    static ompt_start_tool_result_t tool{initialize, finalize, {0}};
    return enabled() ? &tool : nullptr;
}
