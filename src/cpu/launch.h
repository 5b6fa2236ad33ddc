// Kernel launches on the CPU runtime: the launch configuration is checked as the GPU checks it, then
// the work items run on all cores. The grid only bounds a GPU's parallelism; on the host every item
// is visited exactly once whatever the grid size, as a grid-stride loop would.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "kernels/launchers.h"
#include "kernels/runtime.h"

namespace tl::gpu::cpu {

// The error a GPU would give the launch: kErrorInvalidConfiguration for a configuration it refuses
// (or an injected fault); success when the launch may run.
Error launchError(LaunchConfig cfg);

// Test-only fault injection: the n-th (1-based) call from now on, on the calling thread, of the
// operations at `site` fails with `err` instead of running; `any` counts the calls of every site
// (device selections, allocations, copies, fills, launches, event creations and waits). n = 0
// disarms the site. Lets tests fail each step in turn and check what survives it.
enum class FaultSite { Allocation, Copy, Memset, Launch, Event, Synchronize, Device, any, kCount };
void injectFault(FaultSite site, uint64_t n, Error err);
void clearFaults();

// Test-only: on the calling thread, allocations of more than maxBytes fail with
// kErrorMemoryAllocation, as on a device with that much free memory; 0 lifts the limit. Lets tests
// and fuzzers reach the out-of-memory path of any buffer without the machine holding it.
void limitAllocations(size_t maxBytes);

// Memory for large host buffers, aligned to 2 MiB and offered huge pages (where the kernel grants them
// on request), so that touching it takes a fault per 2 MiB rather than per 4 KiB. Null when the
// system refuses; std::free or freeLarge releases it.
void* allocateLarge(size_t bytes);
inline void freeLarge(void* p) { std::free(p); }

template <class Body>
void parallelFor(uint64_t n, Body&& body) {
#pragma omp parallel for schedule(static)
    for (uint64_t i = 0; i < n; ++i) body(i);
}

}  // namespace tl::gpu::cpu
