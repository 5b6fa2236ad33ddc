// Colouring particles by a quantity: colormaps, the mapping of a value to a colour, and the bounded samples
// that the default colour range and the fitted view take their percentiles from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "taluna.h"

namespace taluna::render {

// viridis, magma, inferno, plasma, cividis, gray.
const std::vector<std::string>& colormapNames();
bool isColormap(const std::string& name);

// A value to a colour: log10 of it first when `log`, then [lo, hi] (in the quantity's own units) linearly onto
// the colormap, clamped at its ends. NaN, and with `log` a value at or below 0, take the low end; lo == hi
// puts every value in the middle.
class ColorMapping {
public:
    ColorMapping(const std::string& colormap, bool log, double lo, double hi);
    TLUChar4 operator()(float value) const;

private:
    TLUChar4 table_[256];
    bool log_;
    double lo_, scale_;  // position along the map: (f(value) - lo_) * scale_, f = log10 or identity
};

// Up to `capacity` of the values added, each kept with the same chance whatever the count (reservoir
// sampling), with a fixed seed so that a file gives the same sample on every run.
template <typename T>
class Reservoir {
public:
    explicit Reservoir(size_t capacity = size_t{1} << 16) : capacity_(capacity) {}
    void add(const T& value) {
        ++seen_;
        if (kept_.size() < capacity_) {
            kept_.push_back(value);
            return;
        }
        state_ += 0x9E3779B97F4A7C15ull;  // splitmix64
        uint64_t z = state_;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        const uint64_t slot = (z ^ (z >> 31)) % seen_;
        if (slot < capacity_) kept_[slot] = value;
    }
    const std::vector<T>& kept() const { return kept_; }
    uint64_t seen() const { return seen_; }

private:
    size_t capacity_;
    uint64_t seen_ = 0, state_ = 0;
    std::vector<T> kept_;
};

// The p-th percentile (0 to 100) of `values`, interpolated between the two nearest ranks; NaN when empty.
// Reorders `values`.
double percentile(std::vector<float>& values, double p);

// The default colour range: the 1st and 99th percentiles of the finite values of a sample (of the positive
// ones, taken in log10, with `log`). False when no value qualifies.
bool percentileRange(const std::vector<float>& sample, bool log, double* lo, double* hi);

}  // namespace taluna::render
