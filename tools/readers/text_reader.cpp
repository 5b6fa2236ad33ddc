// Text particles: a header line naming the columns (or none: x y z [intensity] [r g b] by the column count),
// then one particle per line, separated by commas, semicolons or white space. A first pass at open counts
// the rows, checks their field counts and settles whether colours are bytes or fractions (see
// docs/particle-files.md); the second pass parses the values. A reader of one share of the file makes both
// passes over its own lines only.
#include <algorithm>
#include <array>
#include <optional>

#include "readers/reader_support.h"

namespace taluna::readers {

namespace {

// How much of a file's first rows a share reads to settle its colour rule when its own rows leave it open.
constexpr uint64_t kColourSample = 1 << 20;

enum Role { X, Y, Z, R, G, B, A, VX, VY, VZ, kRoles };

int roleOf(const std::string& name) {
    static const std::array<std::pair<const char*, Role>, 14> names = {{{"x", X}, {"y", Y}, {"z", Z},
        {"r", R}, {"red", R}, {"g", G}, {"green", G}, {"b", B}, {"blue", B}, {"a", A}, {"alpha", A},
        {"vx", VX}, {"vy", VY}, {"vz", VZ}}};
    for (const auto& [text, role] : names)
        if (name == text) return role;
    return -1;
}

bool isDataLine(std::string_view line) {
    for (char c : line) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f') continue;
        return c != '#';
    }
    return false;
}

bool isIntegerText(std::string_view text) {
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) text.remove_prefix(1);
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

std::string_view trimField(std::string_view field) {
    while (!field.empty() && (field.front() == ' ' || field.front() == '\t')) field.remove_prefix(1);
    while (!field.empty() && (field.back() == ' ' || field.back() == '\t' || field.back() == '\r'))
        field.remove_suffix(1);
    if (field.size() >= 2 && field.front() == '"' && field.back() == '"') field = field.substr(1, field.size() - 2);
    return field;
}

// separator 0: runs of white space.
void splitFields(std::string_view line, char separator, std::vector<std::string_view>& fields) {
    if (separator == 0) {
        splitWhitespace(line, fields);
        for (auto& field : fields) field = trimField(field);
        return;
    }
    fields.clear();
    size_t start = 0;
    for (;;) {
        size_t stop = line.find(separator, start);
        fields.push_back(trimField(line.substr(start, stop == std::string_view::npos ? line.npos : stop - start)));
        if (stop == std::string_view::npos) break;
        start = stop + 1;
    }
}

char separatorOf(std::string_view line) {
    return line.find(',') != line.npos ? ',' : line.find(';') != line.npos ? ';' : 0;
}

bool allNumbers(const std::vector<std::string_view>& fields) {
    double value = 0;
    for (std::string_view field : fields)
        if (!parseDouble(field, value)) return false;
    return true;
}

struct Layout {
    char separator = 0;
    size_t columns = 0;
    std::array<int, kRoles> index{};
    std::vector<std::string> names;
    bool colors = false;
    bool byteColors = true;
    bool velocities = false;
    bool headerless = false;  // columns named by their count; colours are bytes when one exceeds 1
    int value = -1;           // the column to colour by
    bool speed = false;       // colour by |velocity|
};

std::string expectedColumns(const Layout& layout) {
    return "expected " + std::to_string(layout.columns) +
           (layout.headerless ? " (as in the first row)" : " (one per header column)");
}

class TextReader final : public ParticleReader {
public:
    TextReader(const std::string& path, uint64_t count, Layout layout, std::unique_ptr<InputFile> file,
               uint64_t lineNumber, const std::vector<std::string>& warnings)
        : ParticleReader(path, count, layout.colors, layout.velocities, layout.value >= 0),
          layout_(std::move(layout)),
          file_(std::move(file)),
          line_(lineNumber) {
        if (layout_.speed) valuesFromSpeed();
        for (const std::string& warning : warnings) warn(warning);
    }

    using ParticleReader::setShare;

protected:
    bool read(size_t n, ParticleChunk& out, std::string& error) override {
        for (size_t i = 0; i < n; ++i) {
            if (!nextRow(error)) return false;
            TLV3& p = out.positions[i];
            if (!number(X, p.x, error) || !number(Y, p.y, error) || !number(Z, p.z, error)) return false;
            if (layout_.value >= 0 && !number(static_cast<size_t>(layout_.value), out.values[i], error)) return false;
            if (layout_.colors) {
                TLUChar4& c = out.colors[i];
                c.w = 255;
                if (!color(R, c.x, error) || !color(G, c.y, error) || !color(B, c.z, error)) return false;
                if (layout_.index[A] >= 0 && !color(A, c.w, error)) return false;
            }
            if (layout_.velocities) {
                TLV3& v = out.velocities[i];
                if (!number(VX, v.x, error) || !number(VY, v.y, error) || !number(VZ, v.z, error)) return false;
            }
            ++rows_;
        }
        return true;
    }

private:
    std::string where() const { return path() + ": line " + std::to_string(line_) + ": "; }

    bool nextRow(std::string& error) {
        for (;;) {
            InputFile::Line got = file_->readLine(text_, kMaxLineLength);
            if (got == InputFile::Line::End) {
                error = path() + ": " +
                        (file_->readError().empty() ? "file ends after line " + std::to_string(line_) + " with " +
                                                          std::to_string(rows_) + " of " + std::to_string(count()) +
                                                          " rows (changed while reading?)"
                                                    : "read error after line " + std::to_string(line_) + ": " +
                                                          file_->readError());
                return false;
            }
            ++line_;
            if (got == InputFile::Line::TooLong) {
                error = where() + "line longer than 1 MiB";
                return false;
            }
            if (!isDataLine(text_)) continue;
            splitFields(text_, layout_.separator, fields_);
            if (fields_.size() != layout_.columns) {
                error = where() + std::to_string(fields_.size()) + " values, " + expectedColumns(layout_);
                return false;
            }
            return true;
        }
    }

    size_t column(Role role) const { return static_cast<size_t>(layout_.index[role]); }
    const std::string& name(Role role) const { return layout_.names[column(role)]; }
    std::string_view field(Role role) const { return fields_[column(role)]; }

    bool number(size_t column, float& value, std::string& error) const {
        if (parseFloat(fields_[column], value)) return true;
        error = where() + "column " + quote(layout_.names[column]) + ": " + quote(fields_[column]) +
                " is not a number (or is beyond the float range)";
        return false;
    }
    bool number(Role role, float& value, std::string& error) const { return number(column(role), value, error); }

    bool color(Role role, uint8_t& value, std::string& error) const {
        if (layout_.byteColors && !layout_.headerless) {
            int64_t v = 0;
            if (parseInt(field(role), v) && v >= 0 && v <= 255) {
                value = static_cast<uint8_t>(v);
                return true;
            }
            error = where() + "column " + quote(name(role)) + ": " + quote(field(role)) +
                    " is not a colour byte 0..255 (the file's colours are all integers, so they are read as bytes)";
            return false;
        }
        double v = 0;
        if (parseDouble(field(role), v)) {
            value = unitToByte(layout_.byteColors ? v / 255.0 : v);
            return true;
        }
        error = where() + "column " + quote(name(role)) + ": " + quote(field(role)) + " is not a number";
        return false;
    }

    Layout layout_;
    std::unique_ptr<InputFile> file_;
    uint64_t line_ = 0;
    uint64_t rows_ = 0;
    std::string text_;
    std::vector<std::string_view> fields_;
};

bool parseHeader(const std::string& path, const std::string& header, uint64_t line, Layout& layout,
                 std::string& error) {
    const std::string where = path + ": line " + std::to_string(line) + ": ";
    layout.separator = separatorOf(header);
    std::vector<std::string_view> fields;
    splitFields(header, layout.separator, fields);
    layout.columns = fields.size();
    layout.index.fill(-1);
    for (size_t i = 0; i < fields.size(); ++i) {
        layout.names.emplace_back(fields[i]);
        int role = roleOf(lower(fields[i]));
        if (role < 0) continue;
        if (layout.index[role] >= 0) {
            error = where + "columns " + quote(layout.names[static_cast<size_t>(layout.index[role])]) + " and " +
                    quote(fields[i]) + " give the same value";
            return false;
        }
        layout.index[role] = static_cast<int>(i);
    }
    static const char* const shortNames[kRoles] = {"x", "y", "z", "r", "g", "b", "a", "vx", "vy", "vz"};
    auto incomplete = [&](std::initializer_list<Role> group, bool required, const char* why) {
        bool any = false;
        std::string absent;
        for (Role r : group) {
            if (layout.index[r] >= 0) any = true;
            else absent += (absent.empty() ? "'" : ", '") + std::string(shortNames[r]) + "'";
        }
        if (absent.empty() || (!any && !required)) return false;
        error = where + "the header " + quote(header) + " has no " + absent + " column (" + why + ")";
        return true;
    };
    if (incomplete({X, Y, Z}, true, "the first line that is not a '#' comment must name the columns, e.g. 'x,y,z'"))
        return false;
    if (layout.index[A] >= 0 && layout.index[R] < 0 && layout.index[G] < 0 && layout.index[B] < 0) {
        error = where + "the header " + quote(header) + " has an alpha column but no r, g, b columns";
        return false;
    }
    if (incomplete({R, G, B}, false, "a colour needs all of r, g, b or red, green, blue")) return false;
    if (incomplete({VX, VY, VZ}, false, "a velocity needs all of vx, vy, vz")) return false;
    layout.colors = layout.index[R] >= 0;
    layout.velocities = layout.index[VX] >= 0;
    return true;
}

// A first row of numbers: the columns are x y z, x y z r g b or x y z intensity r g b.
bool headerlessLayout(const std::string& path, uint64_t line, size_t columns, Layout& layout, std::string& error) {
    static const std::vector<std::string> names[] = {{"x", "y", "z"}, {"x", "y", "z", "r", "g", "b"},
                                                     {"x", "y", "z", "intensity", "r", "g", "b"}};
    const size_t which = columns == 3 ? 0 : columns == 6 ? 1 : columns == 7 ? 2 : 3;
    if (which == 3) {
        error = path + ": line " + std::to_string(line) + ": a row of " + std::to_string(columns) +
                " numbers and no header line: a file without one must have 3 (x y z), 6 (x y z r g b) or 7 "
                "(x y z intensity r g b) columns; add a first line naming the columns, e.g. 'x y z ...'";
        return false;
    }
    layout.names = names[which];
    layout.columns = columns;
    layout.index.fill(-1);
    for (size_t i = 0; i < columns; ++i)
        if (int role = roleOf(layout.names[i]); role >= 0) layout.index[role] = static_cast<int>(i);
    layout.colors = columns >= 6;
    layout.byteColors = false;
    layout.headerless = true;
    return true;
}

}  // namespace

std::unique_ptr<ParticleReader> openTextFile(const std::string& path, const ReadOptions& options,
                                             std::string& error) {
    auto file = std::make_unique<InputFile>();
    if (!file->open(path, error)) return nullptr;
    std::string text;
    uint64_t line = 0;
    auto readLine = [&]() {
        InputFile::Line got = file->readLine(text, kMaxLineLength);
        if (got == InputFile::Line::End) {
            if (!file->readError().empty()) error = path + ": read error: " + file->readError();
            return false;
        }
        ++line;
        if (got == InputFile::Line::TooLong) {
            error = path + ": line " + std::to_string(line) + ": line longer than 1 MiB (not a text file?)";
            return false;
        }
        return true;
    };

    // The header line, or the first row of a file without one (perhaps after a line with the point count).
    Layout layout;
    std::vector<std::string> warnings;
    std::vector<std::string_view> fields;
    std::optional<uint64_t> declared;  // the count line
    uint64_t dataStart = 0, headerLine = 0;
    for (;;) {
        const uint64_t start = file->offset();
        if (!readLine()) {
            if (!error.empty()) return nullptr;
            if (declared) {  // a count line and no rows
                dataStart = file->size();
                break;
            }
            error = path + ": no header line naming the columns (e.g. 'x,y,z'); the file is empty or all comments";
            return nullptr;
        }
        size_t skip = 0;
        if (line == 1 && text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, skip = 3);  // UTF-8 byte order mark
        if (!isDataLine(text)) continue;
        splitFields(text, separatorOf(text), fields);
        if (!allNumbers(fields)) {
            if (!parseHeader(path, text, line, layout, error)) return nullptr;
            dataStart = file->offset();
            headerLine = line;
            break;
        }
        uint64_t n = 0;
        if (!declared && fields.size() == 1 && parseCount(fields[0], n)) {
            declared = n;
            continue;
        }
        if (!headerlessLayout(path, line, fields.size(), layout, error)) return nullptr;
        layout.separator = separatorOf(text);
        dataStart = start + skip;
        headerLine = line - 1;
        break;
    }
    int value = kNoQuantity;
    if (!findQuantity(path, options.colorBy, layout.names, layout.velocities, value, error)) return nullptr;
    layout.value = value >= 0 ? value : -1;
    layout.speed = value == kSpeed;

    // This share's lines (every line for 1 share), its first row numbered by counting the data lines before it.
    uint64_t begin = dataStart, end = file->size(), first = 0, shareLine = headerLine;
    if (options.shareCount > 1) {
        LineCount before;
        if (!lineShare(*file, path, dataStart, options.shareIndex, options.shareCount, begin, end, error) ||
            !countLines(*file, path, dataStart, begin, true, before, error))
            return nullptr;
        first = before.dataLines;
        shareLine += before.newlines;
        // A last line cut short is no row (see below); it comes before a share only where that starts at the end.
        if (before.openLine != UINT64_MAX && file->seek(before.openLine) &&
            file->readLine(text, kMaxLineLength) == InputFile::Line::Ok) {
            splitFields(text, layout.separator, fields);
            first -= fields.size() < layout.columns;
        }
    }
    auto settleColours = [&]() {
        for (Role role : {R, G, B, A}) {
            if (!layout.colors || layout.index[role] < 0) continue;
            const std::string_view field = fields[static_cast<size_t>(layout.index[role])];
            double v = 0;
            if (!layout.headerless && layout.byteColors && !isIntegerText(field)) layout.byteColors = false;
            if (layout.headerless && !layout.byteColors && parseDouble(field, v) && v > 1) layout.byteColors = true;
        }
    };

    // First pass: count the share's rows, check their field counts, find how colours are written.
    if (!file->seek(begin)) {
        error = path + ": cannot seek to line " + std::to_string(shareLine + 1) + ": " + file->readError();
        return nullptr;
    }
    line = shareLine;
    uint64_t count = 0;
    while (layout.columns > 0 && file->offset() < end && readLine()) {
        if (!isDataLine(text)) continue;
        splitFields(text, layout.separator, fields);
        if (fields.size() != layout.columns) {
            if (!file->lineEnded() && fields.size() < layout.columns) {
                warnings.push_back("the last line, " + std::to_string(line) + ", is cut short (" +
                                   std::to_string(fields.size()) + " values): skipped (truncated file?)");
                break;
            }
            error = path + ": line " + std::to_string(line) + ": " + std::to_string(fields.size()) + " values, " +
                    expectedColumns(layout);
            return nullptr;
        }
        settleColours();
        ++count;
    }
    if (!error.empty()) return nullptr;
    // The colour rule holds for the whole file, but reading every row for it would make each share's reader
    // parse the whole file: where the share's own rows leave it open, the first rows of the file settle it.
    const bool unsettled = layout.byteColors != layout.headerless;
    if (layout.colors && unsettled && count > 0 && begin > dataStart && file->seek(dataStart)) {
        const uint64_t stop = std::min(begin, dataStart + kColourSample);
        while (layout.byteColors != layout.headerless && file->offset() < stop &&
               file->readLine(text, kMaxLineLength) == InputFile::Line::Ok) {
            if (!isDataLine(text)) continue;
            splitFields(text, layout.separator, fields);
            if (fields.size() == layout.columns) settleColours();
        }
    }
    if (declared && options.shareIndex + 1 == options.shareCount && *declared != first + count)
        warnings.push_back("the first line gives " + std::to_string(*declared) + " points, the file holds " +
                           std::to_string(first + count));
    if (!file->seek(begin)) {
        error = path + ": cannot seek back to line " + std::to_string(shareLine + 1) + ": " + file->readError();
        return nullptr;
    }
    auto reader =
        std::make_unique<TextReader>(path, count, std::move(layout), std::move(file), shareLine, warnings);
    reader->setShare(first, count);
    return reader;
}

}  // namespace taluna::readers
