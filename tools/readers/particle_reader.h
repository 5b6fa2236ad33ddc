// Particle file readers for the renderer tool (PLY, CSV/text, raw float32; docs/particle-files.md), handing
// the particles out in chunks of the caller's size: memory follows the chunk size, never a count in the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "taluna.h"

namespace taluna::readers {

struct ParticleChunk {
    std::vector<TLV3> positions;
    std::vector<TLUChar4> colors;    // empty when the file has no colour
    std::vector<TLV3> velocities;    // empty when the file has no velocity
    std::vector<float> values;       // the quantity named by ReadOptions::colorBy; empty when none was asked
};

// What to read besides positions.
struct ReadOptions {
    // "auto" (by extension, then by content), "ply", "csv" (or "text"), "raw" or "hdf5".
    std::string format = "auto";
    // A per-particle quantity to hand out in ParticleChunk::values: a PLY property, a text column, an HDF5
    // dataset, or "speed" (|v|, where the file has velocities). Empty: none. A name the file does not
    // have fails the open with a message listing the names it has.
    std::string colorBy;
    // Particle types of an HDF5 snapshot to read (0..5); empty: every type present. Other formats refuse
    // a non-empty list.
    std::vector<int> types;
};

class ParticleReader {
public:
    virtual ~ParticleReader() = default;
    ParticleReader(const ParticleReader&) = delete;
    ParticleReader& operator=(const ParticleReader&) = delete;

    // Total number of particles, known before the first chunk.
    uint64_t count() const { return count_; }
    bool hasColors() const { return hasColors_; }
    bool hasVelocities() const { return hasVelocities_; }
    bool hasValues() const { return hasValues_; }
    const std::string& path() const { return path_; }

    // Things the reader took leniently (skipped header lines, records missing at the end, dropped rows),
    // one line each, without the file name; complete once next() has reported the end.
    const std::vector<std::string>& warnings() const { return warnings_; }

    // Reads up to maxCount (> 0) particles into out: positions resized to the number read, colors and
    // velocities to the same size when the file has them and to zero otherwise. At the end of the data
    // returns true with out.positions empty. On failure returns false, stores a message naming the file and
    // the line or byte in *error (when error is not null) and keeps failing with that message afterwards.
    // Never throws.
    bool next(size_t maxCount, ParticleChunk& out, std::string* error);

protected:
    ParticleReader(std::string path, uint64_t count, bool hasColors, bool hasVelocities, bool hasValues = false)
        : path_(std::move(path)),
          count_(count),
          hasColors_(hasColors),
          hasVelocities_(hasVelocities),
          hasValues_(hasValues) {}

    void warn(std::string message) { warnings_.push_back(std::move(message)); }

    // Fills out[0..n) with the next n particles (n >= 1, no more than are left; out is already sized for
    // n). Returns false with a message on failure; may throw (next() turns exceptions into messages).
    virtual bool read(size_t n, ParticleChunk& out, std::string& error) = 0;

private:
    std::string path_;
    uint64_t count_ = 0;
    uint64_t done_ = 0;
    bool hasColors_ = false;
    bool hasVelocities_ = false;
    bool hasValues_ = false;
    std::vector<std::string> warnings_;
    std::string failure_;
};

// Opens a particle file. format: "auto" (by extension: .ply; .csv, .txt, .xyz; .raw, .bin, .f32; .hdf5, .h5 —
// any case; a file with another extension is read as PLY or HDF5 when it starts with their signature), "ply",
// "csv" (or "text"), "raw" or "hdf5". Returns null with a message in *error (when not null) when the file cannot be opened
// or its header or size is wrong. Never throws.
std::unique_ptr<ParticleReader> openParticleFile(const std::string& path, const std::string& format,
                                                 std::string* error);
std::unique_ptr<ParticleReader> openParticleFile(const std::string& path, const ReadOptions& options,
                                                 std::string* error);

}  // namespace taluna::readers
