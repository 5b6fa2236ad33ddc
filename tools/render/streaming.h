// Frames of clouds that do not fit one device, or that several devices share. The plain path is a sum over
// particles, so the cloud is cut into chunks that fit, each chunk's frame is rendered without the tone curve
// (tlAccumulate) and added into host sums, and the tone curve is applied once to the total (tlResolve, the
// caller's). One host thread drives each device's context.
//
// A pass fills sums and writes nothing: a caller that spreads a cloud over processes runs the same pass on
// its share (a reader opened at its first particle, with that particle's index as `first`), adds the
// processes' sums, and resolves and writes once.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/taluna_loader.h"
#include "readers/particle_reader.h"
#include "render/colormap.h"

namespace taluna::render {

// One context on one device.
struct Device {
    int ordinal = 0;
    TLContext* ctx = nullptr;
};

// What a pass streams: a particle file, opened afresh for every pass, or a range of the galaxy.
struct CloudSource {
    // Opens the file at the first particle to stream; null with a message on failure. Unset: the galaxy.
    std::function<std::unique_ptr<readers::ParticleReader>(std::string* error)> open;
    const ColorMapping* mapping = nullptr;  // colours from the reader's values (--color-by)
    std::string label;                      // what the progress shows: the file, or the galaxy
    // Index in the whole cloud of the first particle streamed: the jitter, motion and lens draws hash it.
    uint64_t first = 0;
    // The galaxy: its particles first .. first + count - 1, of seed's galaxy, with velocities or without.
    uint64_t count = 0;
    uint32_t seed = 1;
    bool velocities = false;
};

// Bytes of particles one context of `devices` may hold beside the frame buffers of `pixels` pixels: its
// device's free memory (read once per device) less the library's headroom and the frame buffers of every
// context on that device, shared out among them; the least over the devices. False with the library's
// message.
bool bytesPerContext(const Api& api, const std::vector<Device>& devices, uint64_t pixels, uint64_t* bytes,
                     std::string* error);

// Particles in a chunk of `bytes` (from bytesPerContext), leaving a margin for the runtime's own allocations.
uint64_t chunkFor(uint64_t bytes, uint64_t bytesPerParticle);

struct PassResult {
    uint64_t particles = 0;  // streamed
    uint64_t chunks = 0;
    std::vector<std::string> warnings;  // the reader's
};

// Adds the sums of every view over the whole source into sums[v] (width x height records each, cleared by
// the caller before the first pass). Chunk k, of `chunk` particles, goes to device k mod devices.size(),
// which uploads it (a file, read on this thread and handed over a piece at a time) or makes it (the galaxy)
// and accumulates every view with the chunk's first index. Each device adds into sums of its own, added in
// the order of the devices at the end, so a split gives the same frame on every run. With `progress` a bar
// runs over the whole source. False with the first failure, the reader's or a device's ("device 1: ..."),
// after every thread has stopped.
bool accumulatePass(const Api& api, const std::vector<Device>& devices, const CloudSource& source, uint64_t chunk,
                    const TLRenderSettings& settings, const std::vector<TLCamera>& views,
                    std::vector<std::vector<TLFloat4>>& sums, bool progress, PassResult* result, std::string* error);

}  // namespace taluna::render
