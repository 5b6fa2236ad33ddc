// Shared by the fuzz targets: reading typed fields from the fuzzer's bytes, the check that stops a
// run with a message, and scratch files.
//
// A target is one source defining LLVMFuzzerTestOneInput. It is built twice: with libFuzzer
// (scripts/fuzz.sh) to search for failures, and with regression_driver.cpp, a plain main that
// replays the target's saved corpus in the test suite.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace taluna::fuzz {

// Reads fields front to back. Past the end every byte reads as zero, so every input is complete.
class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    void bytes(void* dst, size_t n) {
        const size_t have = pos_ < size_ ? size_ - pos_ : 0;
        const size_t take = n < have ? n : have;
        if (take) std::memcpy(dst, data_ + pos_, take);
        if (take < n) std::memset(static_cast<uint8_t*>(dst) + take, 0, n - take);
        pos_ += take;
    }
    template <class T>
    T take() {
        T value;
        bytes(&value, sizeof value);
        return value;
    }
    uint8_t byte() { return take<uint8_t>(); }
    size_t remaining() const { return pos_ < size_ ? size_ - pos_ : 0; }
    const uint8_t* rest() const { return data_ + pos_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

[[noreturn]] inline void fail(const char* file, int line, const std::string& what) {
    std::fprintf(stderr, "%s:%d: fuzz check failed: %s\n", file, line, what.c_str());
    std::fflush(stderr);
    std::abort();
}

// Stops the run (a finding) when cond is false; `what` says what was expected.
#define FUZZ_CHECK(cond, what)                                                                  \
    do {                                                                                        \
        if (!(cond)) ::taluna::fuzz::fail(__FILE__, __LINE__, std::string(#cond " -- ") + (what)); \
    } while (0)

// A file in memory holding the given bytes, opened again by path like any regular file.
class MemoryFile {
public:
    MemoryFile(const uint8_t* data, size_t size) {
        fd_ = memfd_create("taluna-fuzz", 0);
        FUZZ_CHECK(fd_ >= 0, "memfd_create");
        size_t done = 0;
        while (done < size) {
            const ssize_t n = write(fd_, data + done, size - done);
            FUZZ_CHECK(n > 0, "writing the memory file");
            done += static_cast<size_t>(n);
        }
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~MemoryFile() { close(fd_); }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;
    const std::string& path() const { return path_; }

private:
    int fd_ = -1;
    std::string path_;
};

}  // namespace taluna::fuzz
