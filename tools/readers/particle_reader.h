// Particle file readers for the renderer tool: PLY, text (CSV / whitespace / semicolons) and raw float32.
//
// A reader is opened once, tells how many particles the file holds and which attributes it carries, then
// hands the particles out in chunks of the caller's size, so files larger than memory can be streamed.
// Memory use follows the chunk size, never a count read from the file.
//
// Formats
//   ply   "format ascii 1.0", "binary_little_endian 1.0" or "binary_big_endian 1.0". The vertex element
//         must have x, y, z (any PLY number type: char uchar short ushort int uint float double, or
//         int8 uint8 int16 uint16 int32 uint32 float32 float64). Optional colour: red, green, blue and
//         optionally alpha, as uchar (bytes) or float/double (0..1, clamped and rounded to bytes).
//         Optional velocity: vx, vy, vz (any number type). Other vertex properties, list properties
//         included, are skipped. Elements before the vertex element are skipped, elements after it are
//         ignored. ASCII data holds one element per line.
//   csv   Text. The first line that is neither empty nor a '#' comment names the columns
//         (case-insensitive): x, y, z are required; r, g, b [, a] or red, green, blue [, alpha] give a
//         colour; vx, vy, vz a velocity; other columns are ignored. The separator is taken from that line:
//         commas if it has one, else semicolons if it has one, else runs of spaces and tabs. Values may be
//         surrounded by spaces and by double quotes. Empty lines and lines starting with '#' are skipped.
//         Numbers are plain decimal (optional sign, fraction and exponent; "inf" and "nan" are accepted);
//         a finite value too large for a float is refused.
//         Colour rule, per file: when every colour value in the file is an integer (digits with an
//         optional sign), colours are bytes and each must lie in 0..255; as soon as one colour value is
//         written otherwise ("0.5", "1e-1", "1.0"), all colour values of the file are fractions 0..1,
//         clamped and rounded to bytes. Without an alpha column alpha is 255.
//   raw   Little-endian float32 x, y, z triples, no header; the size must be a multiple of 12 bytes.
//
// Errors name the file and the line (text, PLY header and ASCII PLY data) or the byte offset (binary data).
// A colour or velocity given only partly (red and green but no blue, vx without vz) is an error.
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
    const std::string& path() const { return path_; }

    // Reads up to maxCount (> 0) particles into out: positions resized to the number read, colors and
    // velocities to the same size when the file has them and to zero otherwise. At the end of the data
    // returns true with out.positions empty. On failure returns false, stores a message naming the file and
    // the line or byte in *error (when error is not null) and keeps failing with that message afterwards.
    // Never throws.
    bool next(size_t maxCount, ParticleChunk& out, std::string* error);

protected:
    ParticleReader(std::string path, uint64_t count, bool hasColors, bool hasVelocities)
        : path_(std::move(path)), count_(count), hasColors_(hasColors), hasVelocities_(hasVelocities) {}

    // Fills out[0..n) with the next n particles (n >= 1, no more than are left; out is already sized for
    // n). Returns false with a message on failure; may throw (next() turns exceptions into messages).
    virtual bool read(size_t n, ParticleChunk& out, std::string& error) = 0;

private:
    std::string path_;
    uint64_t count_ = 0;
    uint64_t done_ = 0;
    bool hasColors_ = false;
    bool hasVelocities_ = false;
    std::string failure_;
};

// Opens a particle file. format: "auto" (by extension: .ply; .csv, .txt, .xyz; .raw, .bin, .f32 — any case;
// a file with another extension is read as PLY when it starts with the PLY magic line), "ply", "csv" (or
// "text") or "raw". Returns null with a message in *error (when not null) when the file cannot be opened
// or its header or size is wrong. Never throws.
std::unique_ptr<ParticleReader> openParticleFile(const std::string& path, const std::string& format,
                                                 std::string* error);

}  // namespace taluna::readers
