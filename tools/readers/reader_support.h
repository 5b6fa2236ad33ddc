// Pieces shared by the particle readers: a buffered file with absolute byte offsets, locale-independent
// number parsing, colour conversion and message formatting. Internal to tools/readers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "readers/particle_reader.h"

namespace taluna::readers {

// A read-only regular file read through a buffer. offset() is the absolute position of the next unread byte.
class InputFile {
public:
    InputFile() = default;
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // Opens a regular file; on failure returns false with "path: reason" in error.
    bool open(const std::string& path, std::string& error);
    uint64_t size() const { return size_; }
    uint64_t offset() const { return bufferStart_ + pos_; }

    // Makes at least n bytes available at data(). Returns false when the file ends (or a read fails) first;
    // available() then tells how many bytes are left.
    bool fill(size_t n);
    const uint8_t* data() const { return buffer_.data() + pos_; }
    size_t available() const { return end_ - pos_; }
    void consume(size_t n) { pos_ += n; }

    // Skips n bytes; false when fewer are left in the file.
    bool skip(uint64_t n);
    // Copies up to n bytes to dst; returns how many were copied (fewer only at the end or on a read error).
    size_t read(void* dst, size_t n);
    bool seek(uint64_t offset);

    enum class Line { Ok, End, TooLong };
    // Reads the next line without its "\n" or "\r\n". End when no bytes are left; TooLong when the line
    // exceeds maxLength bytes (line then holds its first part).
    Line readLine(std::string& line, size_t maxLength);
    // Whether the last line read by readLine ended with a newline (false for a last line cut short).
    bool lineEnded() const { return lineEnded_; }

    // Why the last read stopped early: the system's message for a read error, empty at the end of the file.
    const std::string& readError() const { return readError_; }

private:
    size_t refill(size_t want);

    std::FILE* file_ = nullptr;
    uint64_t size_ = 0;
    std::vector<uint8_t> buffer_;
    uint64_t bufferStart_ = 0;  // file offset of buffer_[0]
    size_t pos_ = 0;
    size_t end_ = 0;
    std::string readError_;
    bool lineEnded_ = false;
};

// Share `index` of `shares` of n items: its first item, floor(n * index / shares) without overflow (n for
// index == shares).
uint64_t shareStart(uint64_t n, uint32_t index, uint32_t shares);

// Share `index` of `shares` of the lines in [from, file size) (from at a line start): the bytes are split
// into `shares` ranges, and a share runs from the first line beginning in its range to the first line
// beginning in the next one, so that the shares follow each other. False with a message on a read error.
bool lineShare(InputFile& file, const std::string& path, uint64_t from, uint32_t index, uint32_t shares,
               uint64_t& begin, uint64_t& end, std::string& error);

struct LineCount {
    uint64_t newlines = 0;
    uint64_t dataLines = 0;  // lines holding a character other than white space (and not starting with '#')
    uint64_t openLine = UINT64_MAX;  // where a last data line without a newline starts, if there is one
};
// Counts the lines beginning in [from, to) (from at a line start) without parsing them: memory and time
// follow memchr over the bytes. hashComments: a line whose first character other than white space is '#'
// is not a data line. False with a message naming the file when the bytes cannot be read.
bool countLines(InputFile& file, const std::string& path, uint64_t from, uint64_t to, bool hashComments,
                LineCount& count, std::string& error);

// Whole-token parsers (no surrounding spaces, independent of the C locale). A leading '+' is accepted.
// parseFloat refuses finite values beyond the float range; values too small for a float become 0 or
// subnormal.
bool parseFloat(std::string_view text, float& value);
bool parseDouble(std::string_view text, double& value);
bool parseInt(std::string_view text, int64_t& value);
bool parseCount(std::string_view text, uint64_t& value);  // non-negative decimal integer

// Narrows a double to a float; false for a finite value beyond the float range (NaN and inf pass).
bool narrowToFloat(double value, float& out);
// A fraction 0..1 to a byte: clamped, rounded to nearest; NaN gives 0.
uint8_t unitToByte(double value);

bool hasEnding(const std::string& text, const std::string& ending);  // ASCII case-insensitive
std::string lower(std::string_view text);
// Shortens a value quoted in a message to at most 40 characters.
std::string quote(std::string_view text);

// Splits at runs of spaces, tabs (and other ASCII white space).
void splitWhitespace(std::string_view line, std::vector<std::string_view>& fields);

// The quantity ReadOptions::colorBy names among a file's names (ASCII case-insensitive): its index, kNoQuantity
// when none is asked, or kSpeed for "speed" (no quantity of that name, velocities present). A name the file
// lacks gives false with a message naming the file and listing the quantities it has.
constexpr int kNoQuantity = -1, kSpeed = -2;
bool findQuantity(const std::string& path, const std::string& colorBy, const std::vector<std::string>& names,
                  bool velocities, int& index, std::string& error);

std::unique_ptr<ParticleReader> openPlyFile(const std::string& path, const ReadOptions& options,
                                            std::string& error);
std::unique_ptr<ParticleReader> openTextFile(const std::string& path, const ReadOptions& options,
                                             std::string& error);
std::unique_ptr<ParticleReader> openRawFile(const std::string& path, const ReadOptions& options,
                                            std::string& error);
std::unique_ptr<ParticleReader> openHdf5File(const std::string& path, const ReadOptions& options,
                                             std::string& error);

// Longest line the text readers accept: far above any real line, low enough to bound memory on junk input.
constexpr size_t kMaxLineLength = 1 << 20;

}  // namespace taluna::readers
