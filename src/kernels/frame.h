// The camera frame: everything the splatting kernels need about the view, derived once per frame from
// the camera and the render settings (render/frame.h), already clamped and in radians. Kernels take
// it by value.
#pragma once

#include <cstddef>
#include <cstdint>

#include "taluna.h"

// 43 consecutive 32-bit words; the layout is shared by the host and every kernel.
struct TLFrame {
    float viewX[4];  // right vector r, then -(r . eye)
    float viewY[4];  // true up vector u, then -(u . eye)
    float viewZ[4];  // -f, then +(f . eye); f is the viewing direction
    float scaleX;    // scaleY / aspect
    float scaleY;    // 1 / tan(fovY / 2)
    int32_t width;
    int32_t height;
    float colorScale;  // weight of one sample for a 0..255 colour channel
    float alphaScale;  // weight of one sample for the 0..1 alpha
    int32_t jitterCount;
    float jitterSigma;
    int32_t samples;
    float shutter;
    float aperture;  // lens radius, 0 without depth of field
    float invFocus;
    float nearClip;
    uint32_t seed;
    float pixelArea;  // solid angle of one pixel
    int32_t panorama;
    float lonMin;  // radians from here on
    float lonSpan;
    float latMax;
    float latSpan;
    float eyeOffset;
    float convergence;
    float nodalOffset;
    int32_t poleMode[2];  // [upper, lower]
    float poleAngle[2];
    float poleExponent[2];
    // Index, in the whole cloud, of the store's first particle (low word, high word): a part of a cloud
    // rendered on its own draws its particles' jitter and samples as the whole cloud does. 0 in tlRender.
    uint32_t firstIndex[2];
};

#define TL_FRAME_WORD(field) (offsetof(TLFrame, field) / 4)
static_assert(sizeof(TLFrame) == 43 * 4, "TLFrame is 43 words");
static_assert(alignof(TLFrame) == 4, "TLFrame is 4-byte aligned");
static_assert(TL_FRAME_WORD(viewY) == 4 && TL_FRAME_WORD(viewZ) == 8 && TL_FRAME_WORD(scaleX) == 12,
              "TLFrame view words");
static_assert(TL_FRAME_WORD(width) == 14 && TL_FRAME_WORD(colorScale) == 16 && TL_FRAME_WORD(jitterCount) == 18 &&
                  TL_FRAME_WORD(samples) == 20 && TL_FRAME_WORD(aperture) == 22 && TL_FRAME_WORD(nearClip) == 24 &&
                  TL_FRAME_WORD(seed) == 25 && TL_FRAME_WORD(pixelArea) == 26,
              "TLFrame sampling words");
static_assert(TL_FRAME_WORD(panorama) == 27 && TL_FRAME_WORD(lonMin) == 28 && TL_FRAME_WORD(latSpan) == 31 &&
                  TL_FRAME_WORD(eyeOffset) == 32 && TL_FRAME_WORD(nodalOffset) == 34 &&
                  TL_FRAME_WORD(poleMode) == 35 && TL_FRAME_WORD(poleAngle) == 37 &&
                  TL_FRAME_WORD(poleExponent) == 39 && TL_FRAME_WORD(firstIndex) == 41,
              "TLFrame panorama words");
#undef TL_FRAME_WORD
