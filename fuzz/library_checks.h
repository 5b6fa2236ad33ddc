// For the targets driving the C interface on the CPU runtime: injected failures, and the shape of
// the message a failed step leaves.
#pragma once

#include <string_view>
#include <vector>

#include "cpu/launch.h"
#include "fuzz_support.h"
#include "kernels/runtime.h"
#include "taluna.h"

namespace taluna::fuzz {

// n particles from the input, each a position, a colour and a velocity.
inline void readParticles(Input& in, TLV3* positions, TLUChar4* colors, TLV3* velocities, size_t n) {
    for (size_t i = 0; i < n; ++i)
        in.bytes(&positions[i], sizeof(TLV3)), in.bytes(&colors[i], sizeof(TLUChar4)), in.bytes(&velocities[i], sizeof(TLV3));
}

// An 8 x 6 frame with two samples over the shutter, lit by a shadow-casting sun if asked; its result,
// and an opaque image where it succeeds.
inline int renderSmallFrame(TLContext* ctx, bool lit) {
    const TLCamera camera = tlDefaultCamera();
    TLRenderSettings s = tlDefaultSettings();
    s.width = 8, s.height = 6, s.intensity = 1.0f, s.samples = 2, s.shutter = 1.0f;
    s.lightingMode = lit ? TL_LIGHTING_LIT : s.lightingMode;
    s.shadowMapSize = 16, s.shadowSlices = 4, s.depthSlices = 4;
    TLLight sun = tlDefaultLight();
    sun.kind = TL_LIGHT_DIRECTIONAL, sun.castShadows = 1;
    std::vector<TLUChar4> rgba(48);
    const int rc = tlRender(ctx, &camera, &s, lit ? &sun : nullptr, lit ? 1 : 0, rgba.data(), nullptr, nullptr);
    for (const TLUChar4& p : rgba) FUZZ_CHECK(rc != 0 || p.w == 255, "the 8-bit image is opaque");
    return rc;
}

// Arms site (1 to 6; else nothing) to fail its (1 + n % 24)-th call with a common runtime code or
// one the runtime has no description for; true when armed.
inline bool armFault(uint8_t site, uint8_t n, uint8_t code) {
    using tl::gpu::cpu::FaultSite;
    static constexpr FaultSite kSites[] = {FaultSite::Allocation, FaultSite::Copy,  FaultSite::Memset,
                                           FaultSite::Launch,     FaultSite::Event, FaultSite::Synchronize};
    static constexpr tl::gpu::Error kCodes[] = {tl::gpu::kErrorMemoryAllocation, tl::gpu::kErrorInvalidValue,
                                                tl::gpu::kErrorLaunchFailure, tl::gpu::kErrorInvalidConfiguration,
                                                tl::gpu::kErrorNotSupported, 12345};
    if (site < 1 || site > 6) return false;
    tl::gpu::cpu::injectFault(kSites[site - 1], 1u + n % 24u, kCodes[code % 6]);
    return true;
}

// Whether text is "<step>: <the runtime's description of a code>" for a non-empty step; with
// sizeRefusal also "<step>: size too large" (a grow-only buffer whose byte count would not fit).
inline bool isStepFailure(std::string_view text, bool sizeRefusal = false) {
    for (size_t colon = text.find(": "); colon != std::string_view::npos; colon = text.find(": ", colon + 1)) {
        const std::string_view rest = text.substr(colon + 2);
        if (colon > 0 && sizeRefusal && rest == "size too large") return true;
        for (tl::gpu::Error code : {1, 2, 3, 9, 35, 100, 101, 400, 600, 719, 801, 12345})
            if (colon > 0 && rest == tl::gpu::errorString(code)) return true;
    }
    return false;
}

}  // namespace taluna::fuzz
