// Device resources that release themselves: a grow-only buffer and a timing event.
#pragma once

#include <cstdint>
#include <utility>

#include "kernels/runtime.h"

namespace tl {

// A device array of T that frees itself. It only grows: asking for no more than it holds keeps it as
// it is; asking for more frees it and allocates anew (contents are neither kept nor cleared). After a
// failed allocation it is empty, so the next request allocates again.
template <class T>
class DeviceBuffer {
public:
    DeviceBuffer() = default;
    DeviceBuffer(const DeviceBuffer&) = delete;
    DeviceBuffer& operator=(const DeviceBuffer&) = delete;
    ~DeviceBuffer() { release(); }

    T* get() const { return data_; }
    uint64_t capacity() const { return capacity_; }

    void release() {
        gpu::free(data_);
        data_ = nullptr;
        capacity_ = 0;
    }

    // Room for at least n elements; `step` names the allocation in a failure.
    Status grow(uint64_t n, const char* step) {
        if (n <= capacity_) return {};
        release();
        if (n > UINT64_MAX / sizeof(T)) return Status{step, gpu::kSuccess, "size too large"};
        void* p = nullptr;
        if (gpu::Error err = gpu::malloc(&p, n * sizeof(T))) return Status::failed(step, err);
        data_ = static_cast<T*>(p);
        capacity_ = n;
        return {};
    }

private:
    T* data_ = nullptr;
    uint64_t capacity_ = 0;
};

// Page-locked host memory that downloads pass through, grown to the largest download. Empty where the
// runtime offers none or an allocation failed: downloads then go straight to their destination.
class StagingBuffer {
public:
    StagingBuffer() = default;
    StagingBuffer(const StagingBuffer&) = delete;
    StagingBuffer& operator=(const StagingBuffer&) = delete;
    ~StagingBuffer() { release(); }

    void release() {
        if (data_) gpu::freeStaging(data_);
        data_ = nullptr;
        bytes_ = 0;
    }

    // At least `bytes` of staging memory, or null.
    void* reserve(size_t bytes) {
        if (bytes <= bytes_) return data_;
        release();
        void* p = nullptr;
        if (gpu::mallocStaging(&p, bytes) != gpu::kSuccess || !p) return nullptr;
        data_ = p;
        bytes_ = bytes;
        return data_;
    }

private:
    void* data_ = nullptr;
    size_t bytes_ = 0;
};

// A timing event that destroys itself.
class TimingEvent {
public:
    TimingEvent() = default;
    TimingEvent(const TimingEvent&) = delete;
    TimingEvent& operator=(const TimingEvent&) = delete;
    ~TimingEvent() {
        if (event_) gpu::eventDestroy(event_);
    }

    gpu::Error create() { return gpu::eventCreate(&event_); }
    gpu::Event get() const { return event_; }
    explicit operator bool() const { return event_ != nullptr; }

private:
    gpu::Event event_ = nullptr;
};

}  // namespace tl
