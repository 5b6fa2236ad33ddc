/* taluna: GPU point-cloud renderer, public C interface.
 *
 * Every function that can fail returns 0 on success and 1 on failure; the reason is then read with
 * tlLastError(ctx). A null context makes every function fail quietly. A context must be used by one
 * thread at a time; different contexts may be used from different threads at the same time, lit
 * frames included: contexts share no state.
 *
 * The header needs no CUDA header and declares no CUDA type, so it can be included from C, from C++
 * and next to CUDA's own vector types. All records are consecutive 32-bit fields; their layouts are
 * fixed and checked below. */
#ifndef TALUNA_H
#define TALUNA_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#if defined(_WIN32)
#  if defined(TALUNA_BUILDING_LIBRARY)
#    define TL_API __declspec(dllexport)
#  else
#    define TL_API __declspec(dllimport)
#  endif
#else
#  define TL_API __attribute__((visibility("default")))
#endif

#if defined(__cplusplus)
#  define TL_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
extern "C" {
#else
#  define TL_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

#define TL_API_VERSION 6

/* Opaque context: one per device binding; owns every device buffer the library allocates for it. */
typedef struct TLContext TLContext;

/* Three floats, tightly packed in arrays at a 12-byte stride: positions and velocities. */
typedef struct TLV3 {
    float x, y, z;
} TLV3;

/* Four bytes red, green, blue, alpha: particle colours and 8-bit image pixels. */
typedef struct TLUChar4 {
    uint8_t x, y, z, w;
} TLUChar4;

/* Four floats red, green, blue, alpha: float image pixels (linear, premultiplied). */
typedef struct TLFloat4 {
    float x, y, z, w;
} TLFloat4;

/* TLCamera::projection: TL_PROJECTION_PANORAMA is the equirectangular panorama; every other value
 * the perspective camera. */
#define TL_PROJECTION_PERSPECTIVE 0
#define TL_PROJECTION_PANORAMA 1

/* TLRenderSettings::lightingMode: TL_LIGHTING_LIT is the volumetric lighting path; every other value
 * the plain additive path. */
#define TL_LIGHTING_PLAIN 0
#define TL_LIGHTING_LIT 1

/* TLLight::kind; any other value is a point light. A directional light shines along `direction` from
 * infinitely far; a spot light is a point light limited to the cone around `direction`. */
#define TL_LIGHT_POINT 0
#define TL_LIGHT_SPOT 1
#define TL_LIGHT_DIRECTIONAL 2

/* TLLight::falloff: how a point or spot light dims with the distance r from it, for range R and inner
 * range R0 (any other value: none). The inverse laws are 1 at r = R and do nothing while R <= 0. */
#define TL_FALLOFF_NONE 0                   /* 1 everywhere */
#define TL_FALLOFF_INVERSE_SQUARE 1         /* R^2 / r^2 */
#define TL_FALLOFF_INVERSE_SQUARE_CLAMPED 2 /* R^2 / r^2, at most 1 */
#define TL_FALLOFF_INVERSE 3                /* R / r */
#define TL_FALLOFF_INVERSE_CLAMPED 4        /* R / r, at most 1 */
#define TL_FALLOFF_LINEAR 5                 /* 1 up to R0, falling linearly to 0 at R */
#define TL_FALLOFF_CUTOFF 6                 /* 1 up to R, 0 beyond */

/* Camera (26 words). Angles are in degrees. */
typedef struct TLCamera {
    TLV3 eye;
    TLV3 target;
    TLV3 up;
    float fovY;
    float focusDistance;
    float aperture;
    int32_t projection;
    float lonMin, lonMax;
    float latMin, latMax;
    float eyeOffset;
    float convergence;
    float nodalOffset;
    int32_t poleModeTop, poleModeBottom;
    float poleAngleTop, poleAngleBottom;
    float poleExponentTop, poleExponentBottom;
} TLCamera;

/* Render settings (19 words). Words from density on are read only by the lit path. */
typedef struct TLRenderSettings {
    int32_t width;
    int32_t height;
    float intensity;
    float exposure;
    int32_t jitterCount;
    float jitterSigma;
    int32_t samples;
    float shutter;
    uint32_t seed;
    int32_t lightingMode;
    float density;
    float ambient;
    float baseLight[3];
    float anisotropy;
    int32_t shadowMapSize;
    int32_t shadowSlices;
    int32_t depthSlices;
} TLRenderSettings;

/* Light (16 words). */
typedef struct TLLight {
    int32_t kind;
    float position[3];
    float direction[3];
    float color[3];
    float outerAngle;
    float innerAngle;
    int32_t falloff;
    float range;
    float innerRange;
    int32_t castShadows;
} TLLight;

#define TL_WORD(type, field) (offsetof(type, field) / 4)
TL_STATIC_ASSERT(sizeof(TLV3) == 12, "TLV3 is 12 bytes");
TL_STATIC_ASSERT(sizeof(TLUChar4) == 4, "TLUChar4 is 4 bytes");
TL_STATIC_ASSERT(sizeof(TLFloat4) == 16, "TLFloat4 is 16 bytes");
TL_STATIC_ASSERT(sizeof(TLCamera) == 26 * 4, "TLCamera is 26 words");
TL_STATIC_ASSERT(TL_WORD(TLCamera, fovY) == 9 && TL_WORD(TLCamera, projection) == 12,
                 "TLCamera lens words");
TL_STATIC_ASSERT(TL_WORD(TLCamera, lonMin) == 13 && TL_WORD(TLCamera, eyeOffset) == 17 &&
                     TL_WORD(TLCamera, poleModeTop) == 20 && TL_WORD(TLCamera, poleExponentBottom) == 25,
                 "TLCamera panorama words");
TL_STATIC_ASSERT(sizeof(TLRenderSettings) == 19 * 4, "TLRenderSettings is 19 words");
TL_STATIC_ASSERT(TL_WORD(TLRenderSettings, seed) == 8 && TL_WORD(TLRenderSettings, lightingMode) == 9 &&
                     TL_WORD(TLRenderSettings, baseLight) == 12 && TL_WORD(TLRenderSettings, anisotropy) == 15 &&
                     TL_WORD(TLRenderSettings, depthSlices) == 18,
                 "TLRenderSettings words");
TL_STATIC_ASSERT(sizeof(TLLight) == 64, "TLLight is 16 words");
TL_STATIC_ASSERT(TL_WORD(TLLight, direction) == 4 && TL_WORD(TLLight, color) == 7 &&
                     TL_WORD(TLLight, falloff) == 12 && TL_WORD(TLLight, castShadows) == 15,
                 "TLLight words");
#undef TL_WORD

/* Defaults: the renderer tool's picture of the procedural test galaxy (tlGenerateTestCloud, 4,000,000
 * particles): a perspective camera above the disc, 1920 x 1080, plain lighting. The lit words hold the
 * values the lit path is tuned for, so setting lightingMode to TL_LIGHTING_LIT is enough to switch;
 * the lit path then wants exposure 2. These are header-only helpers, not library functions. */
static inline TLCamera tlDefaultCamera(void) {
    TLCamera c;
    memset(&c, 0, sizeof c);
    c.eye.x = -135.0f, c.eye.y = 175.0f, c.eye.z = 275.0f;
    c.target.y = -14.0f;
    c.up.y = 1.0f;
    c.fovY = 36.0f;
    c.projection = TL_PROJECTION_PERSPECTIVE;
    c.lonMin = -180.0f, c.lonMax = 180.0f;
    c.latMin = -90.0f, c.latMax = 90.0f;
    c.poleExponentTop = c.poleExponentBottom = 1.0f;
    return c;
}

static inline TLRenderSettings tlDefaultSettings(void) {
    TLRenderSettings r;
    memset(&r, 0, sizeof r);
    r.width = 1920;
    r.height = 1080;
    r.intensity = 0.07f;
    r.exposure = 1.0f;
    r.jitterSigma = 0.4f;
    r.samples = 1;
    r.seed = 1;
    r.lightingMode = TL_LIGHTING_PLAIN;
    r.density = 0.7f;
    r.ambient = 0.02f;
    r.baseLight[0] = 0.03f, r.baseLight[1] = 0.03f, r.baseLight[2] = 0.05f;
    r.anisotropy = 0.35f;
    r.shadowMapSize = 512;
    r.shadowSlices = 64;
    r.depthSlices = 32;
    return r;
}

/* A white point light at the origin without falloff or shadows; direction and cone are those a spot
 * light made from it starts with. */
static inline TLLight tlDefaultLight(void) {
    TLLight l;
    memset(&l, 0, sizeof l);
    l.kind = TL_LIGHT_POINT;
    l.direction[1] = -1.0f;
    l.color[0] = l.color[1] = l.color[2] = 1.0f;
    l.outerAngle = 40.0f;
    l.innerAngle = 30.0f;
    l.falloff = TL_FALLOFF_NONE;
    return l;
}

/* Lifecycle and errors. */
TL_API int tlApiVersion(void);
/* Returns a context even when the device fails to initialise: check tlLastError right after
 * (non-empty means failure); every later call on it that needs the device then fails with
 * "Could not initialize CUDA device". Returns null only when the host is out of memory. */
TL_API TLContext* tlCreate(int device);
TL_API void tlDestroy(TLContext* ctx);
/* Text of the most recent failure ("" when none); "no context" for a null handle. */
TL_API const char* tlLastError(TLContext* ctx);
/* "name | CC x.y | VRAM free a / b GB", cut to bufferSize - 1 bytes and terminated. */
TL_API int tlDeviceInfo(TLContext* ctx, char* buffer, int bufferSize);

/* Particle store. */
TL_API int tlReserve(TLContext* ctx, uint64_t n, int withVelocity);
TL_API int tlUpload(TLContext* ctx, const TLV3* positions, const TLUChar4* colors, const TLV3* velocities,
                    uint64_t n, uint64_t offset);
TL_API int tlSetCount(TLContext* ctx, uint64_t n);
TL_API uint64_t tlGetCount(TLContext* ctx);
TL_API int tlGenerateTestCloud(TLContext* ctx, uint64_t n, uint32_t seed, int withVelocity);

/* Rendering. Each output may be null. */
TL_API int tlRender(TLContext* ctx, const TLCamera* camera, const TLRenderSettings* settings,
                    const TLLight* lights, int lightCount, TLUChar4* rgbaOut, TLFloat4* floatOut, float* msOut);

/* Frames as sums, for clouds spread over chunks, devices, processes or machines (plain path only).
 *
 * The plain path is a sum over particles: the frame of a cloud is the tone curve of the sum of the
 * accumulations of its parts. tlAccumulate renders the context's cloud without the tone curve and adds
 * its four float sums per pixel (red, green, blue, alpha) into `sums`, width x height records in image
 * order, which the caller clears before the first part. `firstIndex` is the index the store's first
 * particle has in the whole cloud: copy jitter, motion times and lens samples are drawn from a
 * particle's index, so parts given their true first index sum to the frame of the whole cloud (up to
 * the order of the float additions). Refused on the lit path ("tlAccumulate: the lit path renders on
 * one device only: use tlRender"), whose shadow and depth maps need every particle at once.
 *
 * tlResolve applies the tone curve of `exposure` to such sums and writes the 8-bit and/or float image
 * (either may be null), bit for bit what tlRender writes for the same sums. It takes no context and
 * needs no GPU: it returns 1, with no message, for null sums, sizes below 1 x 1 or beyond 2^31 - 1
 * pixels.
 *
 * tlGenerateTestCloudRange generates particles first .. first + n - 1 of the test cloud of `seed` into
 * the store (at 0 .. n - 1): the ranges of a split cloud together hold the particles tlGenerateTestCloud
 * makes. tlApiVersion does not tell these four apart: a program that must also run with a library
 * built before them looks them up with dlsym. */
TL_API int tlAccumulate(TLContext* ctx, const TLCamera* camera, const TLRenderSettings* settings, uint64_t firstIndex,
                        TLFloat4* sums);
TL_API int tlResolve(int width, int height, float exposure, const TLFloat4* sums, TLUChar4* rgbaOut,
                     TLFloat4* floatOut);
TL_API int tlGenerateTestCloudRange(TLContext* ctx, uint64_t first, uint64_t n, uint32_t seed, int withVelocity);
/* Free and total memory of the context's device in bytes, as tlReserve sees them (it keeps 512 MiB of
 * the free memory for frames and the runtime): what a caller sizes chunks from. Either pointer may be
 * null. Fails with "cudaMemGetInfo: ..." or on a context whose device failed. */
TL_API int tlDeviceMemory(TLContext* ctx, uint64_t* freeBytes, uint64_t* totalBytes);

/* Image files (no context, no GPU). rgba: width * height * 4 floats, linear and premultiplied. */
TL_API int tlSavePNG(const char* path, int width, int height, const float* rgba, int sixteenBit);
TL_API int tlSaveEXR(const char* path, int width, int height, const float* rgba);

#if defined(__cplusplus)
}
#endif

#endif /* TALUNA_H */
