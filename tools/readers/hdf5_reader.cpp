// Simulation snapshots: the particle-type groups /PartType0 .. /PartType5 of an HDF5 file (Coordinates, and
// optionally Velocities and a 1-D quantity to colour by), read through the HDF5 C library one hyperslab per
// dataset and chunk, so that memory follows the chunk size.
#include <hdf5.h>

#include <algorithm>
#include <cmath>
#include <utility>

#include "readers/reader_support.h"

namespace taluna::readers {

namespace {

constexpr int kTypes = 6;
static_assert(sizeof(TLV3) == 3 * sizeof(float), "positions and velocities are filled as packed floats");

// The colour of each type, fixed so that pictures of different snapshots compare (docs/particle-files.md):
// gas orange, dark matter blue, types 2 and 3 green and grey, stars pale yellow, black holes cyan.
constexpr TLUChar4 kTypeColors[kTypes] = {
    {255, 128, 32, 255}, {90, 110, 255, 255}, {70, 200, 90, 255},
    {170, 170, 170, 255}, {255, 235, 150, 255}, {60, 230, 255, 255}};

// An HDF5 identifier, closed with its own closing function.
class Handle {
public:
    using Close = herr_t (*)(hid_t);
    Handle() = default;
    Handle(hid_t id, Close close) : id_(id), close_(close) {}
    Handle(Handle&& other) noexcept : id_(std::exchange(other.id_, H5I_INVALID_HID)), close_(other.close_) {}
    Handle& operator=(Handle&& other) noexcept {
        std::swap(id_, other.id_);
        std::swap(close_, other.close_);
        return *this;
    }
    ~Handle() {
        if (id_ >= 0) close_(id_);
    }
    explicit operator bool() const { return id_ >= 0; }
    hid_t get() const { return id_; }

private:
    hid_t id_ = H5I_INVALID_HID;
    Close close_ = nullptr;
};

// The most specific message on HDF5's error stack ("truncated file: eof = ..."), or empty.
std::string hdf5Reason() {
    std::string reason;
    H5Ewalk2(
        H5E_DEFAULT, H5E_WALK_UPWARD,
        [](unsigned n, const H5E_error2_t* e, void* out) -> herr_t {
            if (n == 0 && e->desc) *static_cast<std::string*>(out) = e->desc;
            return 0;
        },
        &reason);
    return reason.empty() ? reason : " (" + reason + ")";
}

bool exists(hid_t location, const char* name) { return H5Lexists(location, name, H5P_DEFAULT) > 0; }

// One dataset of a type: `width` numbers per row (1: a 1-D dataset).
struct Column {
    Handle set;
    std::string name;  // "/PartType0/Coordinates"
    int width = 3;
};

struct Group {
    int type = 0;
    uint64_t rows = 0;
    Column coordinates, velocities, values;  // velocities and values: absent when not read
};

constexpr uint64_t kAnyRows = ~uint64_t{0};

// Opens group/name as a dataset of numbers shaped rows x width (width 1: one dimension of `rows`; kAnyRows:
// any count, stored back in rows).
bool openColumn(const std::string& path, hid_t group, const std::string& groupName, const std::string& name,
                int width, uint64_t& rows, Column& out, std::string& error) {
    out.name = groupName + "/" + name;
    out.width = width;
    out.set = Handle(H5Dopen2(group, name.c_str(), H5P_DEFAULT), H5Dclose);
    if (!out.set) {
        error = path + ": " + groupName + " has no dataset " + quote(name);
        return false;
    }
    Handle type(H5Dget_type(out.set.get()), H5Tclose);
    const H5T_class_t kind = type ? H5Tget_class(type.get()) : H5T_NO_CLASS;
    if (kind != H5T_FLOAT && kind != H5T_INTEGER) {
        error = path + ": " + out.name + " does not hold plain numbers (integer or floating point)";
        return false;
    }
    Handle space(H5Dget_space(out.set.get()), H5Sclose);
    hsize_t dims[H5S_MAX_RANK] = {};
    const int rank = space ? H5Sget_simple_extent_dims(space.get(), dims, nullptr) : -1;
    if (rank != (width == 1 ? 1 : 2) || (width > 1 && dims[1] != hsize_t(width))) {
        std::string shape;
        for (int i = 0; i < rank; ++i) shape.append(i ? "x" : "").append(std::to_string(dims[i]));
        error = path + ": " + out.name + " has shape " + (rank > 0 ? shape : "(scalar)") + ", expected " +
                (width == 1 ? "N" : "Nx3");
        return false;
    }
    if (rows == kAnyRows) rows = dims[0];
    if (dims[0] != rows) {
        error = path + ": " + out.name + " has " + std::to_string(dims[0]) + " rows, " + groupName +
                "/Coordinates " + std::to_string(rows);
        return false;
    }
    return true;
}

// Reads rows [start, start + count) of a column as doubles (HDF5 converts the stored type).
bool readRows(const std::string& path, const Column& c, uint64_t start, size_t count, double* out,
              std::string& error) {
    Handle file(H5Dget_space(c.set.get()), H5Sclose);
    const hsize_t offset[2] = {start, 0}, size[2] = {count, hsize_t(c.width)};
    Handle memory(H5Screate_simple(c.width == 1 ? 1 : 2, size, nullptr), H5Sclose);
    if (file && memory && H5Sselect_hyperslab(file.get(), H5S_SELECT_SET, offset, nullptr, size, nullptr) >= 0 &&
        H5Dread(c.set.get(), H5T_NATIVE_DOUBLE, memory.get(), file.get(), H5P_DEFAULT, out) >= 0)
        return true;
    error = path + ": cannot read rows " + std::to_string(start) + ".." + std::to_string(start + count - 1) +
            " of " + c.name + hdf5Reason();
    return false;
}

// The names in a group, for a message about a missing one.
std::string namesIn(hid_t group) {
    std::string names;
    hsize_t index = 0;
    H5Literate(
        group, H5_INDEX_NAME, H5_ITER_INC, &index,
        [](hid_t, const char* name, const H5L_info_t*, void* out) -> herr_t {
            std::string& list = *static_cast<std::string*>(out);
            list += (list.empty() ? "" : ", ") + std::string(name);
            return list.size() > 400;  // enough for a message
        },
        &names);
    return names;
}

// The header's particle count per type (NumPart_ThisFile), or -1 where the header does not say.
std::vector<int64_t> headerCounts(hid_t file) {
    std::vector<int64_t> counts(kTypes, -1);
    if (!exists(file, "/Header")) return counts;
    Handle header(H5Oopen(file, "/Header", H5P_DEFAULT), H5Oclose);
    if (!header || H5Aexists(header.get(), "NumPart_ThisFile") <= 0) return counts;
    Handle attribute(H5Aopen(header.get(), "NumPart_ThisFile", H5P_DEFAULT), H5Aclose);
    Handle space(attribute ? H5Aget_space(attribute.get()) : H5I_INVALID_HID, H5Sclose);
    if (!space || H5Sget_simple_extent_npoints(space.get()) != kTypes ||
        H5Aread(attribute.get(), H5T_NATIVE_INT64, counts.data()) < 0)
        counts.assign(kTypes, -1);
    return counts;
}

class Hdf5Reader final : public ParticleReader {
public:
    Hdf5Reader(const std::string& path, Handle file, std::vector<Group> groups, uint64_t count, bool velocities,
               bool values, bool speed)
        : ParticleReader(path, count, true, velocities, values),
          file_(std::move(file)),
          groups_(std::move(groups)),
          speed_(speed) {}

    using ParticleReader::warn;

    // Records [first, first + count) of the types read one after the other, which may span several types.
    void share(uint64_t first, uint64_t count) {
        setShare(first, count);
        for (group_ = 0; group_ < groups_.size() && first >= groups_[group_].rows; ++group_)
            first -= groups_[group_].rows;
        row_ = first;
    }

protected:
    bool read(size_t n, ParticleChunk& out, std::string& error) override {
        for (size_t i = 0; i < n;) {
            const Group& g = groups_[group_];
            if (row_ == g.rows) {
                ++group_, row_ = 0;
                continue;
            }
            const size_t k = static_cast<size_t>(std::min<uint64_t>(n - i, g.rows - row_));
            buffer_.resize(3 * k);
            if (!readRows(path(), g.coordinates, row_, k, buffer_.data(), error) ||
                !narrow(g.coordinates, buffer_.data(), k, 3, &out.positions[i].x, error))
                return false;
            std::fill_n(out.colors.begin() + i, k, kTypeColors[g.type]);
            if (hasVelocities()) {
                if (!readRows(path(), g.velocities, row_, k, buffer_.data(), error) ||
                    !narrow(g.velocities, buffer_.data(), k, 3, &out.velocities[i].x, error))
                    return false;
            }
            if (hasValues()) {
                if (speed_) {  // velocities are in buffer_
                    for (size_t j = 0; j < k; ++j)
                        buffer_[j] = std::hypot(buffer_[3 * j], buffer_[3 * j + 1], buffer_[3 * j + 2]);
                } else if (!readRows(path(), g.values, row_, k, buffer_.data(), error)) {
                    return false;
                }
                if (!narrow(speed_ ? g.velocities : g.values, buffer_.data(), k, 1, &out.values[i], error))
                    return false;
            }
            i += k, row_ += k;
        }
        return true;
    }

private:
    // Copies count rows of `width` doubles into floats (TLV3 is three packed floats), refusing finite
    // values beyond the float range as the other readers do.
    bool narrow(const Column& c, const double* in, size_t count, int width, float* out, std::string& error) const {
        for (size_t j = 0; j < count * width; ++j)
            if (!narrowToFloat(in[j], out[j])) {
                error = path() + ": " + c.name + (width == 1 && speed_ ? " (speed)" : "") + " row " +
                        std::to_string(row_ + j / width) + " holds a value beyond the float range";
                return false;
            }
        return true;
    }

    Handle file_;  // first: closed after the datasets
    std::vector<Group> groups_;
    bool speed_ = false;
    size_t group_ = 0;
    uint64_t row_ = 0;
    std::vector<double> buffer_;  // one dataset's rows of the current chunk
};

}  // namespace

std::unique_ptr<ParticleReader> openHdf5File(const std::string& path, const ReadOptions& options,
                                             std::string& error) {
    // HDF5 prints its error stack to stderr by default; failures reach the user as this reader's messages.
    static const bool silenced = H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr) >= 0;
    (void)silenced;
    bool chosen[kTypes] = {};
    for (int t : options.types) {
        if (t < 0 || t >= kTypes) {
            error = path + ": particle type " + std::to_string(t) + " does not exist (types are 0 to 5)";
            return nullptr;
        }
        chosen[t] = true;
    }
    {
        InputFile probe;  // the system's reason when the file cannot be opened at all
        if (!probe.open(path, error)) return nullptr;
    }
    if (H5Fis_hdf5(path.c_str()) <= 0) {
        error = path + ": not an HDF5 file (no HDF5 signature)";
        return nullptr;
    }
    Handle file(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT), H5Fclose);
    if (!file) {
        error = path + ": cannot open as HDF5" + hdf5Reason();
        return nullptr;
    }
    const std::vector<int64_t> header = headerCounts(file.get());
    const bool speed = options.colorBy == "speed";
    std::vector<Group> groups;
    std::vector<std::string> notes;
    uint64_t count = 0;
    bool velocities = true;
    for (int t = 0; t < kTypes; ++t) {
        const std::string name = "/PartType" + std::to_string(t);
        if (!options.types.empty() && !chosen[t]) continue;
        if (!exists(file.get(), name.c_str())) {
            if (options.types.empty()) continue;
            error = path + ": no " + name + " group, asked for by the particle types";
            return nullptr;
        }
        Handle group(H5Gopen2(file.get(), name.c_str(), H5P_DEFAULT), H5Gclose);
        if (!group) {
            error = path + ": " + name + " is not a group";
            return nullptr;
        }
        // Some codes write every group, with no datasets where the header counts no particles.
        if (header[t] == 0 && !exists(group.get(), "Coordinates")) continue;
        Group g;
        g.type = t;
        g.rows = kAnyRows;
        if (!openColumn(path, group.get(), name, "Coordinates", 3, g.rows, g.coordinates, error)) return nullptr;
        if (header[t] >= 0 && uint64_t(header[t]) != g.rows)
            notes.push_back("the header's NumPart_ThisFile counts " + std::to_string(header[t]) +
                            " particles of type " + std::to_string(t) + ", " + name + "/Coordinates holds " +
                            std::to_string(g.rows));
        if (exists(group.get(), "Velocities") &&
            !openColumn(path, group.get(), name, "Velocities", 3, g.rows, g.velocities, error))
            return nullptr;
        if (!g.velocities.set) {
            if (speed) {
                error = path + ": " + name + " has no dataset 'Velocities' to colour by speed";
                return nullptr;
            }
            velocities = false;
        }
        if (!options.colorBy.empty() && !speed) {
            if (!exists(group.get(), options.colorBy.c_str())) {
                error = path + ": " + name + " has no dataset " + quote(options.colorBy) + " to colour by (it has " +
                        namesIn(group.get()) + "; or colour by speed)";
                return nullptr;
            }
            if (!openColumn(path, group.get(), name, options.colorBy, 1, g.rows, g.values, error)) return nullptr;
        }
        count += g.rows;
        groups.push_back(std::move(g));
    }
    if (groups.empty() && options.types.empty()) {
        error = path + ": no /PartType0../PartType5 group holding Coordinates";
        return nullptr;
    }
    velocities = velocities && !groups.empty();
    for (const Group& g : groups)
        if (!velocities && g.velocities.set) {
            notes.push_back("velocities left out: not every particle type read has them");
            break;
        }
    auto reader = std::make_unique<Hdf5Reader>(path, std::move(file), std::move(groups), count, velocities,
                                               !options.colorBy.empty(), speed);
    for (std::string& note : notes) reader->warn(std::move(note));
    const uint64_t first = shareStart(count, options.shareIndex, options.shareCount);
    reader->share(first, shareStart(count, options.shareIndex + 1, options.shareCount) - first);
    return reader;
}

}  // namespace taluna::readers
