#include "readers/reader_support.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstring>

namespace taluna::readers {

namespace {
constexpr size_t kBufferSize = 1 << 20;
}

InputFile::~InputFile() {
    if (file_) std::fclose(file_);
}

bool InputFile::open(const std::string& path, std::string& error) {
    file_ = std::fopen(path.c_str(), "rb");
    if (!file_) {
        error = path + ": cannot open: " + std::strerror(errno);
        return false;
    }
    struct stat info {};
    if (fstat(fileno(file_), &info) != 0 || !S_ISREG(info.st_mode)) {
        error = path + ": not a regular file";
        return false;
    }
    size_ = static_cast<uint64_t>(info.st_size);
    buffer_.resize(static_cast<size_t>(std::clamp<uint64_t>(size_, 4096, kBufferSize)));
    return true;
}

size_t InputFile::refill(size_t want) {
    // Keep the unread bytes, moved to the front, and read behind them.
    if (pos_ > 0) {
        std::memmove(buffer_.data(), buffer_.data() + pos_, end_ - pos_);
        bufferStart_ += pos_;
        end_ -= pos_;
        pos_ = 0;
    }
    if (want > buffer_.size()) buffer_.resize(want);
    while (end_ < want) {
        size_t got = std::fread(buffer_.data() + end_, 1, buffer_.size() - end_, file_);
        end_ += got;
        if (got == 0) {
            readError_ = std::ferror(file_) ? std::strerror(errno) : "";
            break;
        }
    }
    return end_;
}

bool InputFile::fill(size_t n) {
    if (available() >= n) return true;
    return refill(n) >= n;
}

bool InputFile::skip(uint64_t n) {
    if (n <= available()) {
        pos_ += static_cast<size_t>(n);
        return true;
    }
    uint64_t target = offset() + n;
    if (target > size_) {
        seek(size_);
        return false;
    }
    return seek(target);
}

size_t InputFile::read(void* dst, size_t n) {
    auto* out = static_cast<uint8_t*>(dst);
    size_t fromBuffer = std::min(n, available());
    std::memcpy(out, data(), fromBuffer);
    pos_ += fromBuffer;
    size_t done = fromBuffer;
    if (done < n) {
        // Large reads go straight to the destination.
        bufferStart_ += end_;
        pos_ = end_ = 0;
        while (done < n) {
            size_t got = std::fread(out + done, 1, n - done, file_);
            done += got;
            bufferStart_ += got;
            if (got == 0) {
                readError_ = std::ferror(file_) ? std::strerror(errno) : "";
                break;
            }
        }
    }
    return done;
}

bool InputFile::seek(uint64_t target) {
    pos_ = end_ = 0;
    if (target > static_cast<uint64_t>(INT64_MAX) || fseeko(file_, static_cast<off_t>(target), SEEK_SET) != 0) {
        readError_ = std::strerror(errno);
        return false;
    }
    bufferStart_ = target;
    return true;
}

InputFile::Line InputFile::readLine(std::string& line, size_t maxLength) {
    line.clear();
    lineEnded_ = false;
    bool any = false;
    for (;;) {
        if (available() == 0 && refill(1) == 0) return any ? Line::Ok : Line::End;
        any = true;
        const uint8_t* start = data();
        const void* newline = std::memchr(start, '\n', available());
        size_t take = newline ? static_cast<size_t>(static_cast<const uint8_t*>(newline) - start) : available();
        if (line.size() + take > maxLength) {
            line.append(reinterpret_cast<const char*>(start), maxLength - line.size());
            return Line::TooLong;
        }
        line.append(reinterpret_cast<const char*>(start), take);
        if (newline) {
            pos_ += take + 1;
            lineEnded_ = true;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return Line::Ok;
        }
        pos_ += take;
    }
}

uint64_t shareStart(uint64_t n, uint32_t index, uint32_t shares) {
    // (n / shares) * index + (n % shares) * index / shares: the remainder term stays below 2^64.
    return n / shares * index + n % shares * index / shares;
}

namespace {
// The start of the first line beginning at or after offset: from itself when offset <= from, the file size
// when no line begins there.
bool lineStartFrom(InputFile& file, const std::string& path, uint64_t from, uint64_t offset, uint64_t& start,
                   std::string& error) {
    start = from;
    if (offset <= from) return true;
    // The line begins after the first newline at or after offset - 1.
    if (!file.seek(offset - 1)) {
        error = path + ": cannot seek to byte " + std::to_string(offset - 1) + ": " + file.readError();
        return false;
    }
    while (file.available() > 0 || file.fill(1)) {
        const void* newline = std::memchr(file.data(), '\n', file.available());
        if (newline) {
            start = file.offset() + static_cast<size_t>(static_cast<const uint8_t*>(newline) - file.data()) + 1;
            return true;
        }
        file.consume(file.available());
    }
    start = file.size();
    if (file.readError().empty()) return true;
    error = path + ": read error (" + file.readError() + ")";
    return false;
}
}  // namespace

bool lineShare(InputFile& file, const std::string& path, uint64_t from, uint32_t index, uint32_t shares,
               uint64_t& begin, uint64_t& end, std::string& error) {
    const uint64_t bytes = file.size() > from ? file.size() - from : 0;
    return lineStartFrom(file, path, from, from + shareStart(bytes, index, shares), begin, error) &&
           lineStartFrom(file, path, from, from + shareStart(bytes, index + 1, shares), end, error);
}

bool countLines(InputFile& file, const std::string& path, uint64_t from, uint64_t to, bool hashComments,
                LineCount& count, std::string& error) {
    count = LineCount{};
    if (from >= to) return true;
    if (!file.seek(from)) {
        error = path + ": cannot seek to byte " + std::to_string(from) + ": " + file.readError();
        return false;
    }
    bool leading = true;  // in the white space that begins a line
    uint64_t lineStart = from;
    for (uint64_t left = to - from; left > 0;) {
        if (file.available() == 0 && !file.fill(1)) {
            error = path + ": byte " + std::to_string(file.offset()) + ": " +
                    (file.readError().empty() ? "the file ends early (changed while reading?)"
                                              : "read error (" + file.readError() + ")");
            return false;
        }
        const size_t n = static_cast<size_t>(std::min<uint64_t>(left, file.available()));
        const uint8_t* p = file.data();
        const uint8_t* const end = p + n;
        while (p < end) {
            if (leading) {
                const uint8_t c = *p;
                if (c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f') {
                    ++p;
                    continue;
                }
                leading = false;
                if (c != '\n' && !(hashComments && c == '#')) {
                    ++count.dataLines;
                    count.openLine = lineStart;
                }
            }
            const void* newline = std::memchr(p, '\n', static_cast<size_t>(end - p));
            if (!newline) break;
            p = static_cast<const uint8_t*>(newline) + 1;
            ++count.newlines;
            leading = true;
            lineStart = file.offset() + static_cast<size_t>(p - file.data());
            count.openLine = UINT64_MAX;
        }
        file.consume(n);
        left -= n;
    }
    return true;
}

namespace {
std::string_view dropPlus(std::string_view text) {
    if (text.size() > 1 && text[0] == '+' && text[1] != '-' && text[1] != '+') text.remove_prefix(1);
    return text;
}
}  // namespace

bool parseDouble(std::string_view text, double& value) {
    text = dropPlus(text);
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

bool parseFloat(std::string_view text, float& value) {
    text = dropPlus(text);
    const char* last = text.data() + text.size();
    auto [end, ec] = std::from_chars(text.data(), last, value);
    if (end != last || text.empty()) return false;
    if (ec == std::errc()) return true;
    if (ec != std::errc::result_out_of_range) return false;
    // Out of range: fine when the value is merely too small (it becomes 0 or subnormal), not when too big.
    double wide = 0;
    if (!parseDouble(text, wide) || !std::isfinite(wide) || std::fabs(wide) >= 1.0) return false;
    value = static_cast<float>(wide);
    return true;
}

bool parseInt(std::string_view text, int64_t& value) {
    text = dropPlus(text);
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

bool parseCount(std::string_view text, uint64_t& value) {
    text = dropPlus(text);
    if (text.empty() || text[0] == '-') return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

bool narrowToFloat(double value, float& out) {
    if (std::isfinite(value) && std::fabs(value) > static_cast<double>(FLT_MAX)) return false;
    out = static_cast<float>(value);
    return true;
}

uint8_t unitToByte(double value) {
    if (!(value > 0.0)) return 0;  // also NaN
    if (value >= 1.0) return 255;
    return static_cast<uint8_t>(std::floor(value * 255.0 + 0.5));
}

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool hasEnding(const std::string& text, const std::string& ending) {
    return text.size() >= ending.size() && lower(text.substr(text.size() - ending.size())) == lower(ending);
}

std::string quote(std::string_view text) {
    std::string out = "'";
    for (char c : text.substr(0, 40)) out += (static_cast<unsigned char>(c) < 32 || c == 127) ? '?' : c;
    return out + (text.size() > 40 ? "...'" : "'");
}

void splitWhitespace(std::string_view line, std::vector<std::string_view>& fields) {
    fields.clear();
    auto space = [](char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r'; };
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && space(line[i])) ++i;
        size_t start = i;
        while (i < line.size() && !space(line[i])) ++i;
        if (i > start) fields.push_back(line.substr(start, i - start));
    }
}

bool findQuantity(const std::string& path, const std::string& colorBy, const std::vector<std::string>& names,
                  bool velocities, int& index, std::string& error) {
    index = kNoQuantity;
    if (colorBy.empty()) return true;
    std::string list;
    for (size_t i = 0; i < names.size(); ++i) {
        if (lower(names[i]) == lower(colorBy)) {
            index = static_cast<int>(i);
            return true;
        }
        list += (list.empty() ? "" : ", ") + names[i];
    }
    if (velocities) {
        if (lower(colorBy) == "speed") {
            index = kSpeed;
            return true;
        }
        list += (list.empty() ? "" : ", ") + std::string("speed");
    }
    error = path + ": cannot colour by " + quote(colorBy) + ": the file has no such quantity; it has " +
            (list.empty() ? "none" : list);
    return false;
}

}  // namespace taluna::readers
