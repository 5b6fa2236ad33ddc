// PLY particles: the vertex element of an ASCII or binary (either byte order) PLY file.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "readers/reader_support.h"

namespace taluna::readers {

namespace {

enum class Type : uint8_t { Int8, UInt8, Int16, UInt16, Int32, UInt32, Float32, Float64 };
enum class Encoding { Ascii, LittleEndian, BigEndian };
// kValue: the slot of the colour-by quantity, read besides the roles.
enum Role { X, Y, Z, R, G, B, A, VX, VY, VZ, kRoles, kValue = kRoles, kSlots };

constexpr const char* kRoleNames[kRoles] = {"x", "y", "z", "red", "green", "blue", "alpha", "vx", "vy", "vz"};

// Property names per role: the usual ones, the diffuse_* colours some mesh tools write, and r, g, b, a
// (last: only when the element has all of r, g, b, since a lone r is often a radius).
int roleOf(std::string_view name, bool shortColours) {
    static const std::array<std::pair<const char*, Role>, 18> names = {{{"x", X}, {"y", Y}, {"z", Z},
        {"red", R}, {"green", G}, {"blue", B}, {"alpha", A}, {"diffuse_red", R}, {"diffuse_green", G},
        {"diffuse_blue", B}, {"diffuse_alpha", A}, {"vx", VX}, {"vy", VY}, {"vz", VZ}, {"r", R}, {"g", G},
        {"b", B}, {"a", A}}};
    for (size_t i = 0; i < (shortColours ? names.size() : names.size() - 4); ++i)
        if (name == names[i].first) return names[i].second;
    return -1;
}
constexpr uint64_t kMaxHeaderBytes = 1 << 20;
constexpr const char* kTypeNames[] = {"char", "uchar", "short", "ushort", "int", "uint", "float", "double"};

bool typeOf(std::string_view name, Type& type) {
    static const std::array<std::pair<const char*, Type>, 16> names = {{{"char", Type::Int8}, {"int8", Type::Int8},
        {"uchar", Type::UInt8}, {"uint8", Type::UInt8}, {"short", Type::Int16}, {"int16", Type::Int16},
        {"ushort", Type::UInt16}, {"uint16", Type::UInt16}, {"int", Type::Int32}, {"int32", Type::Int32},
        {"uint", Type::UInt32}, {"uint32", Type::UInt32}, {"float", Type::Float32}, {"float32", Type::Float32},
        {"double", Type::Float64}, {"float64", Type::Float64}}};
    for (const auto& [text, t] : names)
        if (name == text) {
            type = t;
            return true;
        }
    return false;
}

size_t sizeOf(Type type) {
    static constexpr size_t sizes[] = {1, 1, 2, 2, 4, 4, 4, 8};
    return sizes[static_cast<int>(type)];
}

bool isInteger(Type type) { return type != Type::Float32 && type != Type::Float64; }

template <typename T>
T load(const uint8_t* bytes) {
    T value;
    std::memcpy(&value, bytes, sizeof(T));
    return value;
}

inline double decode(const uint8_t* p, Type type, bool swap) {
    uint8_t b[8];
    if (swap) {
        size_t n = sizeOf(type);
        for (size_t i = 0; i < n; ++i) b[i] = p[n - 1 - i];
        p = b;
    }
    switch (type) {
        case Type::Int8: return load<int8_t>(p);
        case Type::UInt8: return load<uint8_t>(p);
        case Type::Int16: return load<int16_t>(p);
        case Type::UInt16: return load<uint16_t>(p);
        case Type::Int32: return load<int32_t>(p);
        case Type::UInt32: return load<uint32_t>(p);
        case Type::Float32: return load<float>(p);
        case Type::Float64: return load<double>(p);
    }
    return 0;
}

// An ASCII value of the given type: integers must be integers within the type's range.
bool parseTyped(std::string_view text, Type type, double& value) {
    if (type == Type::Float32) {  // directly to float: no double rounding
        float f = 0;
        if (!parseFloat(text, f)) return false;
        value = f;
        return true;
    }
    if (type == Type::Float64) return parseDouble(text, value);
    static constexpr int64_t lowest[] = {-128, 0, -32768, 0, INT32_MIN, 0};
    static constexpr int64_t highest[] = {127, 255, 32767, 65535, INT32_MAX, UINT32_MAX};
    int64_t v = 0;
    int t = static_cast<int>(type);
    if (!parseInt(text, v) || v < lowest[t] || v > highest[t]) return false;
    value = static_cast<double>(v);
    return true;
}

struct Property {
    std::string name;
    Type type = Type::Float32;  // the item type for a list
    bool list = false;
    Type countType = Type::UInt8;
    uint64_t line = 0;
};

struct Element {
    std::string name;
    uint64_t count = 0;
    uint64_t line = 0;
    std::vector<Property> properties;
    bool hasList() const {
        for (const Property& p : properties)
            if (p.list) return true;
        return false;
    }
    // Bytes of one binary instance with every list empty.
    uint64_t minimumSize() const {
        uint64_t size = 0;
        for (const Property& p : properties) size += sizeOf(p.list ? p.countType : p.type);
        return size;
    }
};

struct Header {
    Encoding encoding = Encoding::Ascii;
    std::vector<Element> elements;
    size_t vertex = 0;                  // index of the vertex element
    std::vector<int> roles;             // per vertex property: its Role, or -1
    std::array<int, kRoles> property{};  // per Role: the vertex property, or -1
    int value = -1;                     // the vertex property to colour by, or -1
    bool speed = false;                 // colour by |velocity|
    uint64_t lines = 0;                 // header lines, end_header included
    uint64_t skipped = 0;               // obj_info and unknown lines, skipped
    std::string firstSkipped;           // the first of them, with its line number
};

// Reads the header lines up to end_header into h.encoding and h.elements, one keyword at a time.
class HeaderLines {
public:
    HeaderLines(const std::string& path, Header& h, std::string& error) : path_(path), h_(h), error_(error) {}

    bool read(InputFile& file) {
        for (;;) {
            InputFile::Line got = file.readLine(text_, kMaxLineLength);
            ++h_.lines;
            if (got == InputFile::Line::End)
                return fail(h_.lines == 1 ? path_ + ": empty file, not a PLY file"
                                          : where() + "the file ends before 'end_header' (truncated header?)");
            if (got == InputFile::Line::TooLong || file.offset() > kMaxHeaderBytes)
                return fail(h_.lines == 1 ? path_ + ": not a PLY file (it does not start with a 'ply' line)"
                                          : where() + "no 'end_header' within the first 1 MiB");
            splitWhitespace(text_, tokens_);
            if (h_.lines == 1) {
                if (tokens_.size() != 1 || tokens_[0] != "ply")
                    return fail(path_ + ": not a PLY file (it does not start with a 'ply' line)");
                continue;
            }
            if (tokens_.empty() || tokens_[0] == "comment") continue;
            const std::string_view keyword = tokens_[0];
            if (keyword == "end_header") break;
            if (keyword != "format" && keyword != "element" && keyword != "property") {
                // Other writers put free text (a program's name, obj_info) here; other readers skip it.
                if (h_.skipped++ == 0) h_.firstSkipped = "line " + std::to_string(h_.lines) + ": " + quote(text_);
                continue;
            }
            const bool ok = keyword == "format" ? format() : keyword == "element" ? element() : property();
            if (!ok) return false;
        }
        return haveFormat_ || fail(path_ + ": the header has no 'format' line");
    }

private:
    std::string where() const { return path_ + ": header line " + std::to_string(h_.lines) + ": "; }
    bool fail(std::string message) {
        error_ = std::move(message);
        return false;
    }

    bool format() {
        if (haveFormat_ || tokens_.size() != 3)
            return fail(where() + (haveFormat_ ? "a second 'format' line" : "expected 'format <kind> 1.0'"));
        if (tokens_[1] == "ascii") h_.encoding = Encoding::Ascii;
        else if (tokens_[1] == "binary_little_endian") h_.encoding = Encoding::LittleEndian;
        else if (tokens_[1] == "binary_big_endian") h_.encoding = Encoding::BigEndian;
        else
            return fail(where() + "unknown format " + quote(tokens_[1]) +
                        " (expected ascii, binary_little_endian or binary_big_endian)");
        if (tokens_[2] != "1.0")
            return fail(where() + "unsupported PLY version " + quote(tokens_[2]) + " (expected 1.0)");
        haveFormat_ = true;
        return true;
    }

    bool element() {
        Element element;
        if (!haveFormat_) return fail(where() + "'element' before the 'format' line");
        if (tokens_.size() != 3 || !parseCount(tokens_[2], element.count))
            return fail(where() + "expected 'element <name> <count>' with a count 0 or more, got " + quote(text_));
        element.name = tokens_[1];
        element.line = h_.lines;
        h_.elements.push_back(std::move(element));
        return true;
    }

    bool property() {
        Property p;
        p.line = h_.lines;
        bool ok = false;
        if (tokens_.size() == 5 && tokens_[1] == "list") {
            p.list = true;
            p.name = tokens_[4];
            ok = typeOf(tokens_[2], p.countType) && isInteger(p.countType) && typeOf(tokens_[3], p.type);
        } else if (tokens_.size() == 3) {
            p.name = tokens_[2];
            ok = typeOf(tokens_[1], p.type);
        }
        if (!ok)
            return fail(where() + "expected 'property <type> <name>' or 'property list <integer type> <type> <name>' "
                                  "with types char, uchar, short, ushort, int, uint, float, double (or int8 ... "
                                  "float64), got " + quote(text_));
        if (h_.elements.empty()) return fail(where() + "'property' before any 'element'");
        h_.elements.back().properties.push_back(std::move(p));
        return true;
    }

    const std::string& path_;
    Header& h_;
    std::string& error_;
    std::string text_;
    std::vector<std::string_view> tokens_;
    bool haveFormat_ = false;
};

// Finds the one vertex element; the elements before it are skipped and need properties to be sized.
bool findVertexElement(const std::string& path, Header& h, std::string& error) {
    h.vertex = h.elements.size();
    for (size_t i = 0; i < h.elements.size(); ++i) {
        const Element& e = h.elements[i];
        if (e.name != "vertex") continue;
        if (h.vertex < h.elements.size()) {
            error = path + ": header line " + std::to_string(e.line) + ": a second 'vertex' element";
            return false;
        }
        h.vertex = i;
    }
    if (h.vertex == h.elements.size()) {
        error = path + ": the header has no 'vertex' element";
        return false;
    }
    for (size_t i = 0; i < h.vertex; ++i)
        if (h.elements[i].properties.empty()) {
            error = path + ": header line " + std::to_string(h.elements[i].line) + ": element " +
                    quote(h.elements[i].name) + " has no properties";
            return false;
        }
    return true;
}

// Gives each vertex property its Role (x, red, vx, ...) by name, refusing duplicates, list properties
// in a role and colours of a type other than 8-bit, ushort, float or double.
bool assignRoles(const std::string& path, Header& h, std::string& error) {
    const Element& vertex = h.elements[h.vertex];
    h.property.fill(-1);
    int shortColours = 0;
    for (const Property& p : vertex.properties) shortColours += p.name == "r" || p.name == "g" || p.name == "b";
    for (size_t k = 0; k < vertex.properties.size(); ++k) {
        const Property& p = vertex.properties[k];
        const std::string at = path + ": header line " + std::to_string(p.line) + ": vertex property " + quote(p.name);
        for (size_t j = 0; j < k; ++j)
            if (vertex.properties[j].name == p.name) {
                error = at + " appears twice";
                return false;
            }
        const int role = roleOf(p.name, shortColours == 3);
        h.roles.push_back(role);
        if (role < 0) continue;
        if (h.property[role] >= 0) {
            error = at + " gives the same value as " + quote(vertex.properties[size_t(h.property[role])].name);
            return false;
        }
        if (p.list) {
            error = at + " is a list; it must be a single number";
            return false;
        }
        if (role >= R && role <= A && (p.type == Type::Int16 || p.type == Type::Int32 || p.type == Type::UInt32)) {
            error = at + ": colours must be 8-bit (uchar, char: 0..255), ushort (0..65535) or float/double (0..1)";
            return false;
        }
        h.property[role] = static_cast<int>(k);
    }
    return true;
}

// Position x, y, z are required; colour r, g, b (required with alpha) and velocity come whole or not at all.
bool checkRoleGroups(const std::string& path, const Header& h, std::string& error) {
    auto incomplete = [&](std::initializer_list<Role> group, bool required) {
        bool any = false;
        std::string absent;
        for (Role r : group) {
            if (h.property[r] >= 0) any = true;
            else absent += (absent.empty() ? "'" : ", '") + std::string(kRoleNames[r]) + "'";
        }
        if (absent.empty() || (!any && !required)) return false;
        error = path + ": header line " + std::to_string(h.elements[h.vertex].line) + ": the vertex element has no " +
                absent + " property";
        return true;
    };
    return !(incomplete({X, Y, Z}, true) || incomplete({R, G, B}, h.property[A] >= 0) ||
             incomplete({VX, VY, VZ}, false));
}

// The vertex property ReadOptions::colorBy names: any single number, or "speed" with a velocity.
bool findValue(const std::string& path, const std::string& colorBy, Header& h, std::string& error) {
    std::vector<std::string> names;
    std::vector<int> properties;
    const std::vector<Property>& all = h.elements[h.vertex].properties;
    for (size_t k = 0; k < all.size(); ++k)
        if (!all[k].list) {
            names.push_back(all[k].name);
            properties.push_back(static_cast<int>(k));
        }
    int index = kNoQuantity;
    if (!findQuantity(path, colorBy, names, h.property[VX] >= 0, index, error)) return false;
    h.speed = index == kSpeed;
    h.value = index >= 0 ? properties[size_t(index)] : -1;
    return true;
}

bool parseHeader(const std::string& path, const ReadOptions& options, InputFile& file, Header& h,
                 std::string& error) {
    return HeaderLines(path, h, error).read(file) && findVertexElement(path, h, error) &&
           assignRoles(path, h, error) && checkRoleGroups(path, h, error) &&
           findValue(path, options.colorBy, h, error);
}

// Refuses counts that cannot fit in the data after the header, before anything is read or allocated. A
// truncated file is read up to its last whole vertex, but the vertex count may claim at most twice the bytes
// left: beyond that the count is taken for wrong, and memory reserved for it stays within a few times the
// file's size.
bool checkCounts(const std::string& path, const Header& h, uint64_t dataStart, uint64_t fileSize,
                 std::string& error) {
    uint64_t left = fileSize - dataStart;
    if (h.encoding == Encoding::Ascii) ++left;  // the last line may lack its newline
    for (size_t i = 0; i <= h.vertex; ++i) {
        const Element& e = h.elements[i];
        // ASCII: at least one character and one separator per value.
        uint64_t least = h.encoding == Encoding::Ascii ? 2 * e.properties.size() : e.minimumSize();
        if (e.count > (i == h.vertex ? 2 * left : left) / least) {
            error = path + ": header line " + std::to_string(e.line) + ": " + std::to_string(e.count) + " " +
                    quote(e.name) + " entries of at least " + std::to_string(least) +
                    " bytes each cannot fit in the file, which ends at byte " + std::to_string(fileSize) +
                    (i == h.vertex ? ", even with more than half of them cut off" : "") + " (data from byte " +
                    std::to_string(dataStart) + "; truncated file or wrong count?)";
            return false;
        }
        left -= e.count * least;
    }
    return true;
}

class PlyReader final : public ParticleReader {
public:
    PlyReader(const std::string& path, Header header, std::unique_ptr<InputFile> file)
        : ParticleReader(path, header.elements[header.vertex].count, header.property[R] >= 0,
                         header.property[VX] >= 0, header.value >= 0),
          h_(std::move(header)),
          file_(std::move(file)),
          swap_(h_.encoding != Encoding::Ascii &&
                (h_.encoding == Encoding::BigEndian) != (std::endian::native == std::endian::big)),
          line_(h_.lines) {
        const Element& vertex = h_.elements[h_.vertex];
        fixed_ = !vertex.hasList();
        recordSize_ = vertex.minimumSize();
        size_t offset = 0;
        for (size_t k = 0; k < vertex.properties.size(); ++k) {
            if (h_.roles[k] >= 0) used_.push_back({h_.roles[k], vertex.properties[k].type, offset});
            if (h_.value == static_cast<int>(k)) used_.push_back({kValue, vertex.properties[k].type, offset});
            offset += sizeOf(vertex.properties[k].type);
        }
        if (h_.speed) valuesFromSpeed();
        if (h_.skipped > 0)
            warn("skipped " + std::to_string(h_.skipped) + " header line" + (h_.skipped > 1 ? "s" : "") +
                 " with obj_info or an unknown keyword, the first at header " + h_.firstSkipped);
    }

    // Skips the elements before the vertex element.
    bool skipLeading(std::string& error) {
        for (size_t i = 0; i < h_.vertex; ++i) {
            const Element& e = h_.elements[i];
            if (h_.encoding != Encoding::Ascii && !e.hasList()) {
                const uint64_t start = file_->offset();
                if (!file_->skip(e.count * e.minimumSize()))
                    return ended(e, (file_->size() - start) / e.minimumSize(), error);
                continue;
            }
            for (uint64_t k = 0; k < e.count; ++k)
                if (!readInstance(e, k, nullptr, error)) return false;
        }
        return true;
    }

    // Narrows the reader to its share of the vertices, after skipLeading. Binary vertices split by record
    // number: a fixed size seeks there, lists make the share skip the vertices before it. ASCII vertices split
    // by lines (lineShare), numbered by counting the lines before. The last share takes whatever the header
    // declares beyond, so that vertices missing from a file cut short are warned about as in a whole read.
    bool share(uint32_t index, uint32_t shares, std::string& error) {
        if (shares == 1) return true;
        const Element& vertex = h_.elements[h_.vertex];
        const uint64_t n = vertex.count, start = file_->offset();
        uint64_t first = shareStart(n, index, shares), end = shareStart(n, index + 1, shares);
        if (h_.encoding == Encoding::Ascii) {
            uint64_t begin = 0, stop = 0;
            LineCount before, inside;
            if (!lineShare(*file_, path(), start, index, shares, begin, stop, error) ||
                !countLines(*file_, path(), start, begin, false, before, error) ||
                !countLines(*file_, path(), begin, stop, false, inside, error))
                return false;
            first = std::min(n, before.dataLines);
            end = index + 1 == shares ? n : std::min(n, first + inside.dataLines);
            line_ += before.newlines;
            if (!file_->seek(begin)) return seekFailed(begin, error);
        } else if (fixed_) {
            if (!file_->seek(start + first * recordSize_)) return seekFailed(start + first * recordSize_, error);
        } else {
            for (uint64_t k = 0; k < first; ++k) {
                if (readInstance(vertex, k, nullptr, error)) continue;
                if (!cut_) return false;
                file_->seek(file_->size());  // the share lies beyond the end of the file: read() warns
                break;
            }
        }
        vertexIndex_ = first;
        setShare(first, end - first);
        return true;
    }

protected:
    bool read(size_t n, ParticleChunk& out, std::string& error) override {
        const Element& vertex = h_.elements[h_.vertex];
        double v[kSlots] = {};
        for (size_t i = 0; i < n; ++i, ++vertexIndex_) {
            if (!readInstance(vertex, vertexIndex_, v, error)) {
                if (!cut_) return false;
                const uint64_t declared = vertex.count, end = firstIndex() + count();
                if (firstIndex() == 0 && count() == declared)
                    warn("the file ends after " + std::to_string(vertexIndex_) + " of the " +
                         std::to_string(declared) + " vertices its header declares: " +
                         std::to_string(declared - vertexIndex_) + " missing (truncated file?)");
                else
                    warn("the file ends before vertex " + std::to_string(vertexIndex_) + " (numbered from 0) of the " +
                         std::to_string(declared) + " its header declares: this share misses " +
                         std::to_string(end - vertexIndex_) + " of its " + std::to_string(count()) +
                         " (truncated file?)");
                out.positions.resize(i);
                return true;
            }
            TLV3& p = out.positions[i];
            if (!narrowToFloat(v[X], p.x) || !narrowToFloat(v[Y], p.y) || !narrowToFloat(v[Z], p.z))
                return outOfRange("position", error);
            if (hasColors()) {
                out.colors[i] = {color(R, v), color(G, v), color(B, v),
                                 h_.property[A] >= 0 ? color(A, v) : uint8_t(255)};
            }
            if (hasVelocities()) {
                TLV3& w = out.velocities[i];
                if (!narrowToFloat(v[VX], w.x) || !narrowToFloat(v[VY], w.y) || !narrowToFloat(v[VZ], w.z))
                    return outOfRange("velocity", error);
            }
            if (h_.value >= 0) out.values[i] = static_cast<float>(v[kValue]);
        }
        return true;
    }

private:
    Type typeOfRole(int role) const {
        return h_.elements[h_.vertex].properties[static_cast<size_t>(h_.property[role])].type;
    }

    uint8_t color(Role role, const double* v) const {
        switch (typeOfRole(role)) {
            case Type::UInt8:
            case Type::Int8: return static_cast<uint8_t>(static_cast<int>(v[role]) & 0xFF);  // char: the same byte
            case Type::UInt16: return unitToByte(v[role] / 65535.0);
            default: return unitToByte(v[role]);
        }
    }

    std::string where() const {
        return path() + (h_.encoding == Encoding::Ascii ? ": line " + std::to_string(line_)
                                                        : ": byte " + std::to_string(instanceStart_)) + ": ";
    }

    bool seekFailed(uint64_t offset, std::string& error) const {
        error = path() + ": cannot seek to byte " + std::to_string(offset) + ": " + file_->readError();
        return false;
    }

    bool outOfRange(const char* what, std::string& error) const {
        error = where() + "vertex " + std::to_string(vertexIndex_) + " has a " + what + " beyond the float range";
        return false;
    }

    // The data ends (or a read fails) inside entry index of e. A file that simply ends inside the vertex element
    // is cut short: read() keeps what came before (skipLeading fails either way).
    bool ended(const Element& e, uint64_t index, std::string& error) {
        cut_ = file_->readError().empty();
        error = path() + ": byte " + std::to_string(file_->offset() + file_->available()) + ": " +
                (file_->readError().empty() ? "data ends" : "read error (" + file_->readError() + ")") +
                " inside " + quote(e.name) + " entry " + std::to_string(index) + " of " + std::to_string(e.count);
        return false;
    }

    // Reads one instance of e; values (indexed by Role) is null to skip it.
    bool readInstance(const Element& e, uint64_t index, double* values, std::string& error) {
        return h_.encoding == Encoding::Ascii ? readAscii(e, index, values, error)
                                              : readBinary(e, index, values, error);
    }

    bool readBinary(const Element& e, uint64_t index, double* values, std::string& error) {
        instanceStart_ = file_->offset();
        if (values && fixed_) {
            if (!file_->fill(recordSize_)) return ended(e, index, error);
            for (const Field& f : used_) values[f.slot] = decode(file_->data() + f.offset, f.type, swap_);
            file_->consume(recordSize_);
            return true;
        }
        for (size_t k = 0; k < e.properties.size(); ++k) {
            const Property& p = e.properties[k];
            const size_t size = sizeOf(p.list ? p.countType : p.type);
            if (!file_->fill(size)) return ended(e, index, error);
            double value = decode(file_->data(), p.list ? p.countType : p.type, swap_);
            if (p.list) {
                if (value < 0) {
                    error = path() + ": byte " + std::to_string(file_->offset()) + ": negative list length in " +
                            quote(e.name) + " entry " + std::to_string(index);
                    return false;
                }
                file_->consume(size);
                if (!file_->skip(static_cast<uint64_t>(value) * sizeOf(p.type))) return ended(e, index, error);
                continue;
            }
            file_->consume(size);
            if (values && h_.roles[k] >= 0) values[h_.roles[k]] = value;
            if (values && h_.value == static_cast<int>(k)) values[kValue] = value;
        }
        return true;
    }

    bool readAscii(const Element& e, uint64_t index, double* values, std::string& error) {
        for (;;) {  // the next line that is not blank
            InputFile::Line got = file_->readLine(text_, kMaxLineLength);
            if (got == InputFile::Line::End) {
                cut_ = values && file_->readError().empty();
                error = path() + ": line " + std::to_string(line_) + ": " +
                        (file_->readError().empty() ? "file ends" : "read error (" + file_->readError() + ")") +
                        " before " + quote(e.name) + " entry " + std::to_string(index) + " of " +
                        std::to_string(e.count);
                return false;
            }
            ++line_;
            if (got == InputFile::Line::TooLong) {
                error = where() + "line longer than 1 MiB";
                return false;
            }
            splitWhitespace(text_, fields_);
            if (!fields_.empty()) break;
        }
        if (!values) return true;  // one entry per line: nothing more to check in a skipped element
        size_t f = 0;
        for (size_t k = 0; k < e.properties.size(); ++k) {
            const Property& p = e.properties[k];
            if (f >= fields_.size()) {
                cut_ = !file_->lineEnded();  // the last line, cut inside
                error = where() + "too few values: none for property " + quote(p.name);
                return false;
            }
            double value = 0;
            if (p.list) {
                if (!parseTyped(fields_[f], p.countType, value) || value < 0 ||
                    value > double(fields_.size() - f - 1)) {
                    error = where() + "bad list length " + quote(fields_[f]) + " for property " + quote(p.name);
                    return false;
                }
                f += 1 + static_cast<size_t>(value);
                continue;
            }
            const bool isValue = h_.value == static_cast<int>(k);
            if (h_.roles[k] >= 0 || isValue) {
                if (!parseTyped(fields_[f], p.type, value)) {
                    cut_ = !file_->lineEnded();
                    error = where() + quote(fields_[f]) + " is not a " + kTypeNames[static_cast<int>(p.type)] +
                            " value for " + quote(p.name) + " (not a number, or beyond the type's range)";
                    return false;
                }
                if (h_.roles[k] >= 0) values[h_.roles[k]] = value;
                if (isValue) values[kValue] = value;
            }
            ++f;
        }
        if (f != fields_.size()) {
            error = where() + std::to_string(fields_.size()) + " values, more than the vertex element's " +
                    std::to_string(e.properties.size()) + " properties take";
            return false;
        }
        return true;
    }

    Header h_;
    std::unique_ptr<InputFile> file_;
    bool swap_ = false;
    bool fixed_ = true;
    bool cut_ = false;  // the last failure was the data ending inside the vertex element
    uint64_t recordSize_ = 0;
    struct Field {
        int slot;  // a Role or kValue
        Type type;
        size_t offset;
    };
    std::vector<Field> used_;  // the vertex properties read, with their offsets in a list-free vertex
    uint64_t line_ = 0;
    uint64_t instanceStart_ = 0;
    uint64_t vertexIndex_ = 0;
    std::string text_;
    std::vector<std::string_view> fields_;
};

}  // namespace

std::unique_ptr<ParticleReader> openPlyFile(const std::string& path, const ReadOptions& options,
                                            std::string& error) {
    auto file = std::make_unique<InputFile>();
    if (!file->open(path, error)) return nullptr;
    Header header;
    if (!parseHeader(path, options, *file, header, error)) return nullptr;
    if (!checkCounts(path, header, file->offset(), file->size(), error)) return nullptr;
    auto reader = std::make_unique<PlyReader>(path, std::move(header), std::move(file));
    if (!reader->skipLeading(error) || !reader->share(options.shareIndex, options.shareCount, error)) return nullptr;
    return reader;
}

}  // namespace taluna::readers
