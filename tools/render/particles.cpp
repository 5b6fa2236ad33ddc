#include "render/particles.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "readers/particle_reader.h"
#include "render/progress.h"

namespace taluna::render {
namespace {

// Particles per tlUpload: 28 MB of host memory with colours and velocities.
constexpr size_t kPieceSize = size_t{1} << 20;

double msSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

void growBounds(const std::vector<TLV3>& positions, CloudInfo* info) {
    for (const TLV3& p : positions) {
        if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) continue;
        if (!info->bounded) {
            info->lo = info->hi = p;
            info->bounded = true;
            continue;
        }
        info->lo = TLV3{std::min(info->lo.x, p.x), std::min(info->lo.y, p.y), std::min(info->lo.z, p.z)};
        info->hi = TLV3{std::max(info->hi.x, p.x), std::max(info->hi.y, p.y), std::max(info->hi.z, p.z)};
    }
}

bool loadFile(const Api& api, TLContext* ctx, const Scene& scene, CloudInfo* info, std::string* error) {
    const auto t0 = std::chrono::steady_clock::now();
    readers::ReadOptions options;
    options.format = scene.inputFormat;
    options.colorBy = scene.colorBy;
    options.types = scene.inputTypes;
    auto reader = readers::openParticleFile(scene.inputFile, options, error);
    if (!reader) return false;
    const uint64_t count = reader->count();
    if (api.reserve(ctx, count, reader->hasVelocities() ? 1 : 0) != 0) {
        *error = "cannot hold the " + std::to_string(count) + " particles of " + scene.inputFile + ": " +
                 api.lastError(ctx);
        return false;
    }
    Progress progress("reading " + scene.inputFile, count, true);
    progress.update(0);
    readers::ParticleChunk piece;
    uint64_t offset = 0;
    while (true) {
        if (!reader->next(kPieceSize, piece, error)) return false;
        const size_t n = piece.positions.size();
        if (n == 0) break;
        if (api.upload(ctx, piece.positions.data(), piece.colors.empty() ? nullptr : piece.colors.data(),
                       piece.velocities.empty() ? nullptr : piece.velocities.data(), n, offset) != 0) {
            *error = "upload of " + scene.inputFile + ": " + api.lastError(ctx);
            return false;
        }
        growBounds(piece.positions, info);
        offset += n;
        progress.update(offset);
    }
    progress.update(count);
    progress.finish();
    info->count = offset;
    std::printf("read %llu particles from %s (%s%s) in %.1f ms\n", static_cast<unsigned long long>(offset),
                scene.inputFile.c_str(), reader->hasColors() ? "colours" : "no colours",
                reader->hasVelocities() ? ", velocities" : "", msSince(t0));
    if (offset == 0) std::fprintf(stderr, "taluna-render: warning: %s holds no particles\n", scene.inputFile.c_str());
    return true;
}

}  // namespace

bool loadParticles(const Api& api, TLContext* ctx, const Scene& scene, CloudInfo* info, std::string* error) {
    *info = CloudInfo();
    if (!scene.inputFile.empty()) return loadFile(api, ctx, scene, info, error);
    const auto t0 = std::chrono::steady_clock::now();
    const bool velocities = scene.galaxyVelocities || scene.settings.shutter > 0.0f;
    if (api.generateTestCloud(ctx, scene.galaxyCount, scene.galaxySeed, velocities ? 1 : 0) != 0) {
        *error = std::string("galaxy: ") + api.lastError(ctx);
        return false;
    }
    info->count = api.getCount(ctx);
    std::printf("generated %llu particles in %.1f ms\n", static_cast<unsigned long long>(info->count), msSince(t0));
    return true;
}

}  // namespace taluna::render
