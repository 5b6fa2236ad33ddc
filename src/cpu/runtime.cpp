// The runtime on the host: host memory is device memory, device 0 is this machine's processors, and
// kernels run on all cores. Everything is synchronous, so stream-ordered calls complete on return.
#include <omp.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "cpu/launch.h"
#include "kernels/runtime.h"

namespace tl::gpu {
namespace {

struct CpuEvent {
    std::chrono::steady_clock::time_point when;
    bool recorded = false;
};

// Reads a "Key:   value kB" line of /proc/meminfo; 0 when missing.
size_t meminfoBytes(const char* key) {
    FILE* f = std::fopen("/proc/meminfo", "r");
    if (!f) return 0;
    char line[256];
    size_t result = 0;
    const size_t keyLen = std::strlen(key);
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, key, keyLen) == 0 && line[keyLen] == ':') {
            unsigned long long kb = 0;
            if (std::sscanf(line + keyLen + 1, "%llu", &kb) == 1) result = static_cast<size_t>(kb) * 1024u;
            break;
        }
    }
    std::fclose(f);
    return result;
}

void hostMemory(size_t* freeBytes, size_t* totalBytes) {
    size_t total = meminfoBytes("MemTotal");
    size_t avail = meminfoBytes("MemAvailable");
    if (total == 0) {
        long pages = sysconf(_SC_PHYS_PAGES), avPages = sysconf(_SC_AVPHYS_PAGES), page = sysconf(_SC_PAGESIZE);
        if (pages > 0 && page > 0) total = static_cast<size_t>(pages) * static_cast<size_t>(page);
        if (avPages > 0 && page > 0) avail = static_cast<size_t>(avPages) * static_cast<size_t>(page);
    }
    // Test-only: TALUNA_CPU_MEMORY_LIMIT=BYTES presents the CPU as a device of that much memory (free
    // and total, and the largest allocation), so that tests can render clouds larger than the device
    // without the machine holding them.
    if (const char* limit = std::getenv("TALUNA_CPU_MEMORY_LIMIT")) {
        char* end = nullptr;
        const unsigned long long bytes = std::strtoull(limit, &end, 10);
        if (end != limit && *end == '\0' && bytes > 0) {
            total = std::min<size_t>(total ? total : bytes, bytes);
            avail = std::min<size_t>(avail ? avail : bytes, bytes);
        }
    }
    *freeBytes = avail;
    *totalBytes = total;
}

std::string cpuModelName() {
    std::string name = "CPU";
    FILE* f = std::fopen("/proc/cpuinfo", "r");
    if (!f) return name;
    char line[512];
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, "model name", 10) == 0) {
            const char* colon = std::strchr(line, ':');
            if (colon) {
                std::string model = colon + 1;
                while (!model.empty() && (model.front() == ' ' || model.front() == '\t')) model.erase(0, 1);
                while (!model.empty() && (model.back() == '\n' || model.back() == ' ')) model.pop_back();
                if (!model.empty()) name = "CPU " + model;
            }
            break;
        }
    }
    std::fclose(f);
    return name;
}

struct Fault {
    uint64_t countdown = 0;  // 0: disarmed
    Error err = kSuccess;
};
thread_local Fault tFaults[static_cast<int>(cpu::FaultSite::kCount)];
thread_local size_t tAllocationLimit = 0;  // 0: none

// Buffers from this size on come from allocateLarge (huge pages) and are filled and copied by all
// threads: one core cannot keep the memory busy, and a fresh buffer's page faults are then taken on
// every core rather than one after another.
constexpr size_t kLargeBytes = size_t{4} << 20;
constexpr size_t kPieceBytes = size_t{1} << 20;

// op(offset, length) over [0, bytes) in pieces, on all threads when the range is large.
template <class Op>
void inPieces(size_t bytes, Op&& op) {
    if (bytes < kLargeBytes) {
        op(size_t{0}, bytes);
        return;
    }
    const size_t pieces = (bytes + kPieceBytes - 1) / kPieceBytes;
#pragma omp parallel for schedule(static)
    for (size_t k = 0; k < pieces; ++k) {
        const size_t at = k * kPieceBytes;
        op(at, bytes - at < kPieceBytes ? bytes - at : kPieceBytes);
    }
}

bool fires(Fault& f) { return f.countdown != 0 && --f.countdown == 0; }

// The injected error of this call at `site`, or success. Every call also counts towards FaultSite::any.
Error injected(cpu::FaultSite site) {
    Fault& f = tFaults[static_cast<int>(site)];
    Fault& any = tFaults[static_cast<int>(cpu::FaultSite::any)];
    if (fires(f)) return f.err;
    return fires(any) ? any.err : kSuccess;
}

}  // namespace

namespace cpu {
void injectFault(FaultSite site, uint64_t n, Error err) {
    tFaults[static_cast<int>(site)] = Fault{n, err};
}

void clearFaults() {
    for (Fault& f : tFaults) f = Fault{};
}

void limitAllocations(size_t maxBytes) { tAllocationLimit = maxBytes; }

void* allocateLarge(size_t bytes) {
    constexpr size_t kHuge = size_t{1} << 21;
    if (bytes > SIZE_MAX - kHuge) return nullptr;
    const size_t rounded = (bytes + kHuge - 1) & ~(kHuge - 1);
    void* p = std::aligned_alloc(kHuge, rounded);
    // Advice only: without transparent huge pages it fails and the memory works as before.
    if (p) madvise(p, rounded, MADV_HUGEPAGE);
    return p;
}

Error launchError(LaunchConfig cfg) {
    if (Error err = injected(FaultSite::Launch)) return err;
    if (cfg.blocks == 0 || cfg.threadsPerBlock == 0 || cfg.threadsPerBlock > 1024 || cfg.blocks > 0x7FFFFFFFu)
        return kErrorInvalidConfiguration;
    return kSuccess;
}

}  // namespace cpu

// As on a GPU, a failed selection leaves the thread's current device (always 0 here) as it was.
Error setDevice(int device) {
    if (Error err = injected(cpu::FaultSite::Device)) return err;
    return device == 0 ? kSuccess : kErrorInvalidDevice;
}

Error getDeviceProperties(DeviceProperties* props, int device) {
    if (!props) return kErrorInvalidValue;
    if (device != 0) return kErrorInvalidDevice;
    std::memset(props, 0, sizeof *props);
    std::string name = cpuModelName() + " (" + std::to_string(omp_get_max_threads()) + " threads)";
    std::snprintf(props->name, sizeof props->name, "%s", name.c_str());
    props->major = 0;
    props->minor = 0;
    return kSuccess;
}

Error memGetInfo(size_t* freeBytes, size_t* totalBytes) {
    if (!freeBytes || !totalBytes) return kErrorInvalidValue;
    hostMemory(freeBytes, totalBytes);
    return kSuccess;
}

Error multiProcessorCount(int* count, int device) {
    if (!count) return kErrorInvalidValue;
    if (device != 0) return kErrorInvalidDevice;
    *count = omp_get_max_threads();
    return kSuccess;
}

Error malloc(void** ptr, size_t bytes) {
    if (!ptr) return kErrorInvalidValue;
    *ptr = nullptr;
    if (Error err = injected(cpu::FaultSite::Allocation)) return err;
    if (bytes == 0) return kSuccess;
    if (tAllocationLimit != 0 && bytes > tAllocationLimit) return kErrorMemoryAllocation;
    // Like a GPU, refuse what the machine cannot hold instead of overcommitting and being killed later.
    size_t freeBytes = 0, totalBytes = 0;
    hostMemory(&freeBytes, &totalBytes);
    if (freeBytes != 0 && bytes > freeBytes) return kErrorMemoryAllocation;
    if (bytes > SIZE_MAX - 255) return kErrorMemoryAllocation;
    void* p = bytes >= kLargeBytes ? cpu::allocateLarge(bytes)
                                   : std::aligned_alloc(256, (bytes + 255) & ~static_cast<size_t>(255));
    if (!p) return kErrorMemoryAllocation;
    // Committed now, as a GPU's allocation is, by all threads: a fresh buffer's page faults would
    // otherwise land, one page after another, in the first kernel that writes it.
    if (bytes >= kLargeBytes) inPieces(bytes, [&](size_t at, size_t n) { std::memset(static_cast<char*>(p) + at, 0, n); });
    *ptr = p;
    return kSuccess;
}

Error free(void* ptr) {
    std::free(ptr);
    return kSuccess;
}

Error copyToDevice(void* dst, const void* src, size_t bytes) {
    if (Error err = injected(cpu::FaultSite::Copy)) return err;
    if (bytes == 0) return kSuccess;
    if (!dst || !src) return kErrorInvalidValue;
    inPieces(bytes, [&](size_t at, size_t n) {
        std::memcpy(static_cast<char*>(dst) + at, static_cast<const char*>(src) + at, n);
    });
    return kSuccess;
}

Error copyToHost(void* dst, const void* src, size_t bytes) { return copyToDevice(dst, src, bytes); }

Error mallocStaging(void** ptr, size_t) {
    if (!ptr) return kErrorInvalidValue;
    *ptr = nullptr;
    return kSuccess;
}
Error freeStaging(void*) { return kSuccess; }

Error memset(void* dst, int value, size_t bytes) {
    if (Error err = injected(cpu::FaultSite::Memset)) return err;
    if (bytes == 0) return kSuccess;
    if (!dst) return kErrorInvalidValue;
    inPieces(bytes, [&](size_t at, size_t n) { std::memset(static_cast<char*>(dst) + at, value, n); });
    return kSuccess;
}

Error memsetAsync(void* dst, int value, size_t bytes) { return memset(dst, value, bytes); }

Error eventCreate(Event* event) {
    if (!event) return kErrorInvalidValue;
    if (Error err = injected(cpu::FaultSite::Event)) return err;
    auto* e = new (std::nothrow) CpuEvent();
    if (!e) return kErrorMemoryAllocation;
    *event = e;
    return kSuccess;
}

Error eventDestroy(Event event) {
    if (!event) return kErrorInvalidResourceHandle;
    delete static_cast<CpuEvent*>(event);
    return kSuccess;
}

Error eventRecord(Event event) {
    if (!event) return kErrorInvalidResourceHandle;
    auto* e = static_cast<CpuEvent*>(event);
    e->when = std::chrono::steady_clock::now();
    e->recorded = true;
    return kSuccess;
}

Error eventSynchronize(Event event) {
    if (!event) return kErrorInvalidResourceHandle;
    return injected(cpu::FaultSite::Synchronize);
}

Error eventElapsedTime(float* ms, Event start, Event stop) {
    if (!ms) return kErrorInvalidValue;
    if (!start || !stop) return kErrorInvalidResourceHandle;
    auto* a = static_cast<CpuEvent*>(start);
    auto* b = static_cast<CpuEvent*>(stop);
    if (!a->recorded || !b->recorded) return kErrorInvalidResourceHandle;
    *ms = std::chrono::duration<float, std::milli>(b->when - a->when).count();
    return kSuccess;
}

Error deviceSynchronize() { return injected(cpu::FaultSite::Synchronize); }

const char* errorString(Error err) {
    switch (err) {
        case kSuccess: return "no error";
        case kErrorInvalidValue: return "invalid argument";
        case kErrorMemoryAllocation: return "out of memory";
        case kErrorInitializationError: return "initialization error";
        case kErrorInvalidConfiguration: return "invalid configuration argument";
        case kErrorInsufficientDriver: return "CUDA driver version is insufficient for CUDA runtime version";
        case kErrorNoDevice: return "no CUDA-capable device is detected";
        case kErrorInvalidDevice: return "invalid device ordinal";
        case kErrorInvalidResourceHandle: return "invalid resource handle";
        case kErrorNotReady: return "device not ready";
        case kErrorLaunchFailure: return "unspecified launch failure";
        case kErrorNotSupported: return "operation not supported";
        default: return "unrecognized error code";
    }
}

}  // namespace tl::gpu
