// Kernel launches on the CPU runtime: the launch configuration is checked as the GPU checks it, then
// the work items run on all cores. The grid only bounds a GPU's parallelism; on the host every item
// is visited exactly once whatever the grid size, as a grid-stride loop would.
#pragma once

#include <cstdint>

#include "gpu/runtime.h"
#include "kernels/kernels.h"

namespace tl::gpu::cpu {

// Records err as the calling thread's last error (what getLastError() returns next).
void setLastError(Error err);

// False (with kErrorInvalidConfiguration recorded) when a GPU would refuse the configuration.
bool launchAccepted(LaunchConfig cfg);

// Test-only fault injection: the n-th (1-based) call from now on, on the calling thread, of the
// operations at `site` fails with `err` (and is recorded as the last error) instead of running.
// n = 0 disarms the site. Lets tests produce every failure message and check what survives it.
enum class FaultSite { Allocation, Copy, Memset, Launch, Event, Synchronize, Device, kCount };
void injectFault(FaultSite site, uint64_t n, Error err);
void clearFaults();

// Test-only: on the calling thread, allocations of more than maxBytes fail with
// kErrorMemoryAllocation, as on a device with that much free memory; 0 lifts the limit. Lets tests
// and fuzzers reach the out-of-memory path of any buffer without the machine holding it.
void limitAllocations(size_t maxBytes);

template <class Body>
void parallelFor(uint64_t n, Body&& body) {
#pragma omp parallel for schedule(static)
    for (uint64_t i = 0; i < n; ++i) body(i);
}

}  // namespace tl::gpu::cpu
