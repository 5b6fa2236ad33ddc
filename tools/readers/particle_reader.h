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
    // This reader's share of the file: share `shareIndex` of `shareCount` (0 <= shareIndex < shareCount).
    // The shares of 0..shareCount-1 together hold every particle of the file once, in file order, and
    // consecutive shares follow each other. 1 share (the default): the whole file.
    uint32_t shareIndex = 0;
    uint32_t shareCount = 1;
};

class ParticleReader {
public:
    virtual ~ParticleReader() = default;
    ParticleReader(const ParticleReader&) = delete;
    ParticleReader& operator=(const ParticleReader&) = delete;

    // The number of particles in this share (the whole file for 1 share) as the file declares them, known
    // before the first chunk: none beyond it come out, fewer when the file is cut short or rows are dropped
    // (each with a warning).
    uint64_t count() const { return count_; }
    // The record number, in the whole file, of this share's first record (0 for share 0). Records are rows
    // as the file holds them, dropped ones included.
    uint64_t firstIndex() const { return firstIndex_; }
    bool hasColors() const { return hasColors_; }
    bool hasVelocities() const { return hasVelocities_; }
    bool hasValues() const { return hasValues_; }
    const std::string& path() const { return path_; }

    // Things the reader took leniently (skipped header lines, records missing at the end, dropped rows),
    // one line each, without the file name; complete once next() has reported the end.
    const std::vector<std::string>& warnings() const { return warnings_; }

    // Reads up to maxCount (> 0) particles into out: positions resized to the number read, colors,
    // velocities and values to the same size when the file has them and to zero otherwise. Rows with a
    // non-finite coordinate are dropped (one warning at the end gives their number), so a chunk may be
    // smaller than asked, and fewer than count() particles may come out in all. At the end of the data
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
    // Narrows the reader to records [first, first + count) of the file, before the first read.
    void setShare(uint64_t first, uint64_t count) {
        firstIndex_ = first;
        count_ = count;
    }
    // The values are |velocity|, filled in by next() after read() (for a reader with velocities).
    void valuesFromSpeed() { hasValues_ = speed_ = true; }

    // Fills out[0..n) with the next n particles (n >= 1, no more than count() leaves; out is already sized
    // for n). When the data ends early it shrinks out.positions to the particles it did read (perhaps
    // none) and returns true: that is the end of the data. Returns false with a message on failure; may
    // throw (next() turns exceptions into messages).
    virtual bool read(size_t n, ParticleChunk& out, std::string& error) = 0;

private:
    std::string path_;
    uint64_t count_ = 0;
    uint64_t firstIndex_ = 0;
    uint64_t done_ = 0;
    bool hasColors_ = false;
    bool hasVelocities_ = false;
    bool hasValues_ = false;
    bool speed_ = false;
    uint64_t dropped_ = 0;  // rows with a non-finite coordinate
    std::vector<std::string> warnings_;
    std::string failure_;
};

// Opens a particle file. format: "auto" (by extension: .ply; .csv, .txt, .xyz, .pts; .raw, .bin, .f32; .hdf5,
// .h5 — any case; a file with another extension is read as PLY or HDF5 when it starts with their signature),
// "ply", "csv" (or "text"), "raw" or "hdf5". Returns null with a message in *error (when not null) when the
// file cannot be opened, its header or size is wrong, it lacks the quantity options.colorBy names, or the
// share options are out of range. Never throws.
std::unique_ptr<ParticleReader> openParticleFile(const std::string& path, const std::string& format,
                                                 std::string* error);
std::unique_ptr<ParticleReader> openParticleFile(const std::string& path, const ReadOptions& options,
                                                 std::string* error);

}  // namespace taluna::readers
