// Shared by the fuzz targets: typed fields from the fuzzer's bytes, the check that stops a run, and
// in-memory files. A target (one LLVMFuzzerTestOneInput) is built with libFuzzer and with
// regression_driver.cpp, which replays its saved corpus in the test suite.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace taluna::fuzz {

// Reads fields front to back; past the end every byte reads as zero.
class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    void bytes(void* dst, size_t n) {
        const size_t take = n < remaining() ? n : remaining();
        if (take) std::memcpy(dst, data_ + pos_, take);
        std::memset(static_cast<uint8_t*>(dst) + take, 0, n - take);
        pos_ += take;
    }
    template <class T>
    T take() {
        T value;
        bytes(&value, sizeof value);
        return value;
    }
    uint8_t byte() { return take<uint8_t>(); }
    size_t remaining() const { return size_ - pos_; }

private:
    const uint8_t* data_;
    size_t size_, pos_ = 0;
};

// Stops the run (a finding) when cond is false; `what` says what was expected.
#define FUZZ_CHECK(cond, what) ((cond) ? void() : ::taluna::fuzz::fail(__FILE__, __LINE__, #cond, what))
[[noreturn]] inline void fail(const char* file, int line, const char* cond, const std::string& what) {
    std::fprintf(stderr, "%s:%d: fuzz check failed: %s -- %s\n", file, line, cond, what.c_str());
    std::abort();
}

// A file in memory holding the given bytes, opened by path like any regular file.
class MemoryFile {
public:
    MemoryFile(const uint8_t* data, size_t size) : fd_(memfd_create("taluna-fuzz", 0)) {
        FUZZ_CHECK(fd_ >= 0, "memfd_create");
        for (size_t done = 0; done < size;) {
            const ssize_t n = write(fd_, data + done, size - done);
            FUZZ_CHECK(n > 0, "writing the memory file");
            done += size_t(n);
        }
    }
    MemoryFile(const MemoryFile&) = delete;
    ~MemoryFile() { close(fd_); }
    std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

private:
    int fd_;
};

}  // namespace taluna::fuzz
