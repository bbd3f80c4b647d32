// Preloaded into an OpenMP program built against LLVM's libomp: wraps its
// entry point for parallel regions, __kmpc_fork_call, as openmp.cpp wraps
// libgomp's, and calls the real one found by dlsym(RTLD_NEXT); sleep.cpp wraps
// the sleeps. libomp's tools interface would see the same regions, but once a
// tool is attached the runtime keeps tools state on every entry to a critical
// section, which cost queuedrain 4 % of its phase (docs/tracing.md).
//
// A span for each outermost region on the thread that opened it, around the
// fork call, and each thread's share around the microtask, the outlined
// function the compiler hands over: the runtime calls it as
// (gtid, tid, word 1 .. word argc) on every thread of the team.
//
// The critical section is left alone, as under libgomp: a wrapper of
// __kmpc_critical and __kmpc_end_critical that only counts the entries costs
// queuedrain more than the budget (docs/tracing.md).
#include <dlfcn.h>

#include <array>
#include <cstdarg>
#include <cstdint>
#include <utility>

#include "record.h"
#include "sleep.h"

using namespace parbench_trace;

struct Location;  // the runtime's ident_t, passed on unread
using Microtask = void (*)(std::int32_t* gtid, std::int32_t* tid, ...);
using Fork = void (*)(Location*, std::int32_t argc, Microtask, ...);

// The real entry point, found as the library is loaded: a dlsym at a region's
// first entry would fall inside the program's timed phase. Out of the
// anonymous namespace for the assembly below, which jumps to it.
extern "C" __attribute__((used)) const Fork parbench_fork_real =
    reinterpret_cast<Fork>(dlsym(RTLD_NEXT, "__kmpc_fork_call"));

namespace {

// The most words a wrapped region may pass, far beyond these programs' 3 or 4. The
// runtime passes any number; a call with more goes to it untouched.
constexpr std::int32_t most = 15;

// What the team's threads need to run the program's microtask.
struct Call {
    Microtask fn;
    std::int32_t argc;
    void* words[most];
};

thread_local int depth = 0;  // regions this thread is inside

template <std::size_t>
using Word = void*;

template <std::size_t... I>
void runWith(Microtask fn, std::int32_t* gtid, std::int32_t* tid, void* const* words, std::index_sequence<I...>) {
    const auto task = reinterpret_cast<void (*)(std::int32_t*, std::int32_t*, Word<I>...)>(fn);
    task(gtid, tid, words[I]...);
}

template <std::size_t N>
void run(Microtask fn, std::int32_t* gtid, std::int32_t* tid, void* const* words) {
    runWith(fn, gtid, tid, words, std::make_index_sequence<N>());
}

template <std::size_t... N>
constexpr auto runners(std::index_sequence<N...>) {
    return std::array<void (*)(Microtask, std::int32_t*, std::int32_t*, void* const*), sizeof...(N)>{run<N>...};
}

// The microtask with the first argc words, by argc: C has no call with a
// number of arguments known only as it runs.
constexpr auto runs = runners(std::make_index_sequence<most + 1>());

template <std::size_t... I>
void passWith(Location* loc, Microtask fn, void* const* words, std::index_sequence<I...>) {
    parbench_fork_real(loc, sizeof...(I), fn, words[I]...);
}

template <std::size_t N>
void pass(Location* loc, Microtask fn, void* const* words) {
    passWith(loc, fn, words, std::make_index_sequence<N>());
}

template <std::size_t... N>
constexpr auto passers(std::index_sequence<N...>) {
    return std::array<void (*)(Location*, Microtask, void* const*), sizeof...(N)>{pass<N>...};
}

// The fork call as the program made it, by argc.
constexpr auto passes = passers(std::make_index_sequence<most + 1>());

// Runs on every thread of the team.
void share(std::int32_t* gtid, std::int32_t* tid, const Call* call) {
    const int outer = lane;
    ++depth;
    lane = *tid;  // the thread's number in the team
    const std::int64_t start = now();
    runs[static_cast<std::size_t>(call->argc)](call->fn, gtid, tid, call->words);
    const std::int64_t end = now();
    record({Kind::Region, lane, start, end, 0, nullptr});
    --depth;
    lane = outer;
}

}  // namespace

// Reached from __kmpc_fork_call below with at most `most` words.
extern "C" __attribute__((used, visibility("hidden"))) void parbench_fork(Location* loc, std::int32_t argc,
                                                                          Microtask fn, ...) {
    Call call{fn, argc, {}};
    va_list list;
    va_start(list, fn);
    for (std::int32_t i = 0; i < argc; ++i) call.words[i] = va_arg(list, void*);
    va_end(list);
    if (!enabled() || depth > 0) {
        passes[static_cast<std::size_t>(argc)](loc, fn, call.words);
        return;
    }
    const std::int64_t start = now();
    parbench_fork_real(loc, 1, reinterpret_cast<Microtask>(share), &call);
    record({Kind::Span, -1, start, now(), 0, nullptr});
}

// The entry point itself, in assembly: a call with more words than `most`
// (or a negative count) jumps to the runtime's with its registers and stack as
// the program left them, which C cannot do for a variable number of arguments;
// any other goes on to parbench_fork the same way.
asm(R"(
    .text
    .globl __kmpc_fork_call
    .type __kmpc_fork_call, @function
__kmpc_fork_call:
    cmpl $15, %esi
    ja 1f
    jmp parbench_fork
1:
    jmp *parbench_fork_real(%rip)
    .size __kmpc_fork_call, . - __kmpc_fork_call
)");
static_assert(most == 15, "the bound in the assembly above");
