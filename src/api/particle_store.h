// The particle store of a context: positions, colours and optional velocities on the device.
#pragma once

#include <cstdint>

#include "kernels/device_buffer.h"
#include "kernels/launchers.h"
#include "taluna.h"

namespace tl {

struct ParticleStore {
    DeviceBuffer<TLV3> positions;
    DeviceBuffer<TLUChar4> colors;
    DeviceBuffer<TLV3> velocity;  // empty unless reserved with velocities
    bool hasVelocity = false;
    bool velocityValid = false;  // the velocities hold data meant for rendering
    uint64_t count = 0;          // the first `count` entries are the cloud

    // Particles the arrays hold.
    uint64_t capacity() const { return positions.capacity(); }

    // The arrays a frame reads.
    ParticleArrays arrays() const {
        return ParticleArrays{positions.get(), colors.get(), velocityValid ? velocity.get() : nullptr, count};
    }

    void release() {
        positions.release();
        colors.release();
        velocity.release();
        hasVelocity = velocityValid = false;
        count = 0;
    }
};

}  // namespace tl
