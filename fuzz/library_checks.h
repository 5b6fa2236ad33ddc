// Shared by the targets that drive the library's C interface on the CPU runtime: the failures they
// may inject and the shape of the messages a failed step leaves.
#pragma once

#include <string>
#include <string_view>

#include "cpu/launch.h"
#include "kernels/runtime.h"

namespace taluna::fuzz {

// Runtime codes a target injects: the common ones, and one the runtime has no description for.
inline tl::gpu::Error faultCode(uint8_t selector) {
    static constexpr tl::gpu::Error kCodes[] = {tl::gpu::kErrorMemoryAllocation, tl::gpu::kErrorInvalidValue,
                                                tl::gpu::kErrorLaunchFailure, tl::gpu::kErrorInvalidConfiguration,
                                                tl::gpu::kErrorNotSupported, 12345};
    return kCodes[selector % (sizeof kCodes / sizeof kCodes[0])];
}

// Arms site (1 to 6; anything else arms nothing) to fail its n-th call; true when armed.
inline bool armFault(uint8_t site, uint8_t n, uint8_t code) {
    using tl::gpu::cpu::FaultSite;
    static constexpr FaultSite kSites[] = {FaultSite::Allocation, FaultSite::Copy,  FaultSite::Memset,
                                           FaultSite::Launch,     FaultSite::Event, FaultSite::Synchronize};
    if (site < 1 || site > 6) return false;
    tl::gpu::cpu::injectFault(kSites[site - 1], 1u + n % 24u, faultCode(code));
    return true;
}

// Disarms every site.
inline void disarmFaults() { tl::gpu::cpu::clearFaults(); }

inline bool isRuntimeDescription(std::string_view text) {
    for (tl::gpu::Error code : {1, 2, 3, 9, 35, 100, 101, 400, 600, 719, 801, 12345})
        if (text == tl::gpu::errorString(code)) return true;
    return false;
}

// Whether text is "<step>: <the runtime's description of a code>" for some non-empty step; with
// sizeRefusal also "<step>: size too large" (a grow-only buffer whose byte count would not fit).
inline bool isStepFailure(std::string_view text, bool sizeRefusal = false) {
    for (size_t colon = text.find(": "); colon != std::string_view::npos; colon = text.find(": ", colon + 1)) {
        const std::string_view rest = text.substr(colon + 2);
        if (colon > 0 && (isRuntimeDescription(rest) || (sizeRefusal && rest == "size too large"))) return true;
    }
    return false;
}

}  // namespace taluna::fuzz
