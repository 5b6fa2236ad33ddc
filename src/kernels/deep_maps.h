// The deep maps of the lighting path: per texel (shadow maps) or pixel (camera depth map) a column
// of depth slices. Deposits split a weight between the two slices around a continuous slice
// position; kPrefix then turns each column into mid-slice running sums, so a column read at slice
// position t gives the optical depth up to that depth.
#pragma once

#include "kernels/portable.h"

namespace tl {

// The slices of one column, `stride` floats apart. A map is stored as rows of `rowLength` columns,
// each row slice by slice: slice s of column x of a row at row + s x rowLength + x. The camera depth
// map has rows of one column (each column contiguous); the shadow maps have rows of a view's width, so
// the texels of a footprint or a bilinear lookup share cache lines within a slice, and neighbouring
// work items of kPrefix read neighbouring floats.
struct DeepColumn {
    float* first;
    uint64_t stride;
    TL_HD float& operator[](int32_t s) const { return first[static_cast<uint64_t>(s) * stride]; }
};

// Column c of a map of `slices` slices stored in rows of rowLength columns.
TL_HD DeepColumn mapColumn(float* map, uint64_t c, int32_t slices, uint64_t rowLength) {
    const uint64_t row = c / rowLength, x = c - row * rowLength;
    return DeepColumn{map + row * rowLength * static_cast<uint64_t>(slices) + x, rowLength};
}

struct SlicePosition {
    int32_t i;  // first slice, 0 to S - 1
    float f;    // share of the next slice, 0 at the last one
};

// t = clamp(depth x scale - 0.5, 0, S - 1) split into slice and fraction; NaN gives slice 0.
// Above 2^24 slices float(S - 1) can round up to S or more (to 2^31, beyond int32, for the largest
// counts): the slice is then clamped to S - 1 as an integer, with fraction 0, so a deposit never
// leaves its column.
TL_HD SlicePosition slicePosition(float depth, float scale, int32_t slices) {
    float t = depth * scale - 0.5f;
    const float last = static_cast<float>(slices - 1);
    t = t > 0.0f ? t : 0.0f;
    t = t < last ? t : last;
    SlicePosition p;
    p.i = floatToInt(t);
    if (p.i >= slices - 1) {
        p.i = slices - 1;
        p.f = 0.0f;
        return p;
    }
    p.f = t - static_cast<float>(p.i);
    return p;
}

// A deposit of weight w at a slice position: w x (1 - f) at slice i and w x f at the next slice (the
// same slice at the end of the column). A zero second share is left out: it would change nothing.
struct SliceShares {
    int32_t first;
    float firstShare;
    int32_t second;  // -1: none
    float secondShare;
};

TL_HD SliceShares sliceShares(int32_t slices, SlicePosition p, float w) {
    SliceShares s;
    s.first = p.i;
    s.firstShare = w * (1.0f - p.f);
    s.second = p.f > 0.0f ? (p.i + 1 < slices ? p.i + 1 : p.i) : -1;
    s.secondShare = w * p.f;
    return s;
}

TL_HD void depositSlices(DeepColumn column, int32_t slices, SlicePosition p, float w) {
    const SliceShares s = sliceShares(slices, p, w);
    atomicAddF(&column[s.first], s.firstShare);
    if (s.second >= 0) atomicAddF(&column[s.second], s.secondShare);
}

// Reads a prefix-summed column at a slice position; the next slice only when f > 0.
TL_HD float readSlices(DeepColumn column, SlicePosition p) {
    const float e = column[p.i];
    return p.f > 0.0f ? e + p.f * (column[p.i + 1] - e) : e;
}

// Each entry becomes the sum of the slices before it plus half of its own; returns the whole sum.
TL_HD float prefixColumn(DeepColumn column, int32_t slices) {
    float t = 0.0f;
    for (int32_t s = 0; s < slices; ++s) {
        const float e = column[s];
        column[s] = fmaF(e, 0.5f, t);
        t = t + e;
    }
    return t;
}

}  // namespace tl
