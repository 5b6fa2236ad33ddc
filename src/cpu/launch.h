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

// Large host scratch of T (allocateLarge), grown as needed and kept until it is destroyed.
template <class T>
class LargeScratch {
public:
    LargeScratch() = default;
    LargeScratch(const LargeScratch&) = delete;
    LargeScratch& operator=(const LargeScratch&) = delete;
    ~LargeScratch() { freeLarge(data_); }

    // Room for `count` elements (what it held is lost when it grows); null without memory, and then
    // it holds none.
    T* reserve(uint64_t count) {
        if (count <= capacity_) return data_;
        freeLarge(data_);
        data_ = nullptr;
        capacity_ = 0;
        if (count > SIZE_MAX / sizeof(T)) return nullptr;
        data_ = static_cast<T*>(allocateLarge(count * sizeof(T)));
        if (data_) capacity_ = count;
        return data_;
    }
    T* data() const { return data_; }

private:
    T* data_ = nullptr;
    uint64_t capacity_ = 0;
};

template <class Body>
void parallelFor(uint64_t n, Body&& body) {
#pragma omp parallel for schedule(static)
    for (uint64_t i = 0; i < n; ++i) body(i);
}

}  // namespace tl::gpu::cpu
