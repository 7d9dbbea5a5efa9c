// The host's profiler hooks: here they only count their calls.
#include <atomic>

#include "vyacore.h"

static std::atomic<unsigned long> blockfilter_calls{0};
static std::atomic<unsigned long> running_calls{0};

extern "C" void profiler_blockfilter(void) { blockfilter_calls.fetch_add(1, std::memory_order_relaxed); }
extern "C" void profiler_running(void) { running_calls.fetch_add(1, std::memory_order_relaxed); }

extern "C" void vyacore_profiler_counts(unsigned long* blockfilter, unsigned long* running)
{
    *blockfilter = blockfilter_calls.load(std::memory_order_relaxed);
    *running = running_calls.load(std::memory_order_relaxed);
}
