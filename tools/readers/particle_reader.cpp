#include "readers/particle_reader.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <exception>
#include <fstream>

#include "readers/reader_support.h"

namespace taluna::readers {

bool ParticleReader::next(size_t maxCount, ParticleChunk& out, std::string* error) {
    auto resize = [&](size_t n) {
        out.positions.resize(n);
        out.colors.resize(hasColors_ ? n : 0);
        out.velocities.resize(hasVelocities_ ? n : 0);
        out.values.resize(hasValues_ ? n : 0);
    };
    auto fail = [&](std::string message, bool sticky) {
        resize(0);
        if (sticky) failure_ = message;
        if (error) *error = std::move(message);
        return false;
    };
    if (!failure_.empty()) return fail(failure_, false);
    if (maxCount == 0) return fail(path_ + ": asked for a chunk of 0 particles", false);
    try {
        for (;;) {  // until a chunk keeps a particle or the data ends
            uint64_t left = count_ - done_;
            size_t n = left < maxCount ? static_cast<size_t>(left) : maxCount;
            resize(n);
            if (n == 0) {
                if (dropped_ > 0)
                    warn("dropped " + std::to_string(dropped_) + (dropped_ == 1 ? " row" : " rows") +
                         " with non-finite coordinates");
                dropped_ = 0;
                return true;
            }
            std::string message;
            if (!read(n, out, message)) return fail(message.empty() ? path_ + ": read failed" : message, true);
            const size_t got = std::min(out.positions.size(), n);
            done_ = got < n ? count_ : done_ + n;  // a short chunk ends the data
            resize(got);
            size_t kept = 0;
            for (size_t i = 0; i < got; ++i) {
                const TLV3 p = out.positions[i];
                if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) continue;
                out.positions[kept] = p;
                if (hasColors_) out.colors[kept] = out.colors[i];
                if (hasVelocities_) out.velocities[kept] = out.velocities[i];
                if (speed_) {
                    const TLV3& v = out.velocities[i];
                    out.values[kept] = static_cast<float>(std::sqrt(double(v.x) * v.x + double(v.y) * v.y +
                                                                    double(v.z) * v.z));
                } else if (hasValues_) {
                    out.values[kept] = out.values[i];
                }
                ++kept;
            }
            dropped_ += got - kept;
            resize(kept);
            if (kept > 0) return true;
        }
    } catch (const std::exception& e) {
        return fail(path_ + ": " + e.what(), true);
    } catch (...) {
        return fail(path_ + ": unknown failure while reading", true);
    }
}

namespace {

std::unique_ptr<ParticleReader> open(const std::string& path, const ReadOptions& options, std::string& error) {
    if (options.shareCount == 0 || options.shareIndex >= options.shareCount) {
        error = path + ": cannot read share " + std::to_string(options.shareIndex) + " of " +
                std::to_string(options.shareCount) + ": shares are numbered from 0 to one less than their count, " +
                "which is at least 1";
        return nullptr;
    }
    const std::string& format = options.format;
    std::string kind = lower(format);
    if (kind == "auto") {
        for (const char* ext : {".ply"})
            if (hasEnding(path, ext)) kind = "ply";
        for (const char* ext : {".csv", ".txt", ".xyz", ".pts"})
            if (hasEnding(path, ext)) kind = "csv";
        for (const char* ext : {".raw", ".bin", ".f32"})
            if (hasEnding(path, ext)) kind = "raw";
        for (const char* ext : {".hdf5", ".h5"})
            if (hasEnding(path, ext)) kind = "hdf5";
        if (kind == "auto") {
            char magic[8] = {};
            std::ifstream in(path, std::ios::binary);
            if (!in) {
                error = path + ": cannot open: " + std::strerror(errno);
                return nullptr;
            }
            if (in.read(magic, 4) && std::memcmp(magic, "ply", 3) == 0 && (magic[3] == '\n' || magic[3] == '\r'))
                kind = "ply";
            else if (in.read(magic + 4, 4) && std::memcmp(magic, "\x89HDF\r\n\x1a\n", 8) == 0)
                kind = "hdf5";
        }
        if (kind == "auto") {
            error = path + ": cannot tell the format from the name; use a .ply, .csv, .txt, .xyz, .pts, .raw, .bin, "
                           ".f32, .hdf5 or .h5 file or name the format (ply, csv, raw, hdf5)";
            return nullptr;
        }
    }
    if (kind == "hdf5") {
#if TALUNA_READERS_HDF5
        return openHdf5File(path, options, error);
#else
        error = path + ": this taluna-render was built without HDF5 (libhdf5-dev) and reads no snapshots";
        return nullptr;
#endif
    }
    if (!options.types.empty()) {
        error = path + ": particle types apply to HDF5 snapshots only";
        return nullptr;
    }
    if (kind == "ply") return openPlyFile(path, options, error);
    if (kind == "csv" || kind == "text") return openTextFile(path, options, error);
    if (kind == "raw") return openRawFile(path, options, error);
    error = path + ": unknown format " + quote(format) + " (expected auto, ply, csv, raw or hdf5)";
    return nullptr;
}

}  // namespace

std::unique_ptr<ParticleReader> openParticleFile(const std::string& path, const std::string& format,
                                                 std::string* error) {
    ReadOptions options;
    options.format = format;
    return openParticleFile(path, options, error);
}

std::unique_ptr<ParticleReader> openParticleFile(const std::string& path, const ReadOptions& options,
                                                 std::string* error) {
    std::string message;
    std::unique_ptr<ParticleReader> reader;
    try {
        reader = open(path, options, message);
    } catch (const std::exception& e) {
        message = path + ": " + e.what();
        reader.reset();
    } catch (...) {
        message = path + ": unknown failure while opening";
        reader.reset();
    }
    if (!reader && error) *error = message.empty() ? path + ": cannot be read" : message;
    return reader;
}

}  // namespace taluna::readers
