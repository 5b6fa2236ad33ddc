#include "render/particles.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <optional>

#include "readers/particle_reader.h"
#include "render/colormap.h"
#include "render/progress.h"

namespace taluna::render {
namespace {

// Particles per tlUpload: 28 MB of host memory with colours and velocities.
constexpr size_t kPieceSize = size_t{1} << 20;

double msSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

// The box of the central 99% of a sample of positions, axis by axis.
void centralBox(const std::vector<TLV3>& sample, CloudInfo* info) {
    info->bounded = !sample.empty();
    if (!info->bounded) return;
    std::vector<float> axis(sample.size());
    float lo[3], hi[3];
    for (int a = 0; a < 3; ++a) {
        for (size_t i = 0; i < sample.size(); ++i) axis[i] = a == 0 ? sample[i].x : a == 1 ? sample[i].y : sample[i].z;
        lo[a] = static_cast<float>(percentile(axis, 0.5));
        hi[a] = static_cast<float>(percentile(axis, 99.5));
    }
    info->lo = TLV3{lo[0], lo[1], lo[2]};
    info->hi = TLV3{hi[0], hi[1], hi[2]};
}

// Reads the file through and calls use(piece) on each piece; false with the reader's message, or with use's.
template <typename Use>
bool readAll(readers::ParticleReader& reader, const std::string& label, std::string* error, Use use) {
    Progress progress(label, reader.count(), true);
    progress.update(0);
    readers::ParticleChunk piece;
    uint64_t done = 0;
    while (true) {
        if (!reader.next(kPieceSize, piece, error)) return false;
        if (piece.positions.empty()) break;
        if (!use(piece, done)) return false;
        done += piece.positions.size();
        progress.update(done);
    }
    progress.update(reader.count());
    progress.finish();
    return true;
}

// The mapping of a colour-by run. Without a range given, the 1st and 99th percentiles come from a sample of
// the values taken in a first pass over the file: the library takes colours together with positions, so
// colouring after one pass would need the whole cloud in host memory (16 to 28 bytes a particle, not the
// values' 4), while a second read keeps host memory at one piece for any file size. With `positions`, that
// pass (made even when the range is given) also samples the positions into it, and *count gets the number
// of particles read.
bool colorMapping(const Scene& scene, const readers::ReadOptions& options, std::optional<ColorMapping>* mapping,
                  std::string* error, Reservoir<TLV3>* positions = nullptr, uint64_t* count = nullptr,
                  double* range = nullptr) {
    double lo = scene.colorRange[0], hi = scene.colorRange[1];
    std::string how = "given";
    const bool values = !scene.colorBy.empty() && !scene.colorRangeGiven;
    Reservoir<float> sample;
    if (values || positions) {
        auto reader = readers::openParticleFile(scene.inputFile, options, error);
        if (!reader) return false;
        const std::string label = (values ? "sampling " + scene.colorBy + " in " : "sampling ") + scene.inputFile;
        const bool ok = readAll(*reader, label, error, [&](const readers::ParticleChunk& piece, uint64_t at) {
            for (float v : piece.values) sample.add(v);
            if (positions)
                for (const TLV3& p : piece.positions) positions->add(p);
            if (count) *count = at + piece.positions.size();
            return true;
        });
        if (!ok) return false;
    }
    if (scene.colorBy.empty()) return true;
    if (values) {
        how = "1st-99th percentile";
        if (!percentileRange(sample.kept(), scene.colorLog, &lo, &hi)) {
            std::fprintf(stderr, "taluna-render: warning: %s: no %s value of %s to take a range from; every "
                         "particle takes the low end of the colormap\n", scene.inputFile.c_str(),
                         scene.colorLog ? "positive" : "finite", scene.colorBy.c_str());
            lo = hi = 0.0;
            how = "no usable value";
        }
    }
    if (range) {
        range[0] = values && how == "no usable value" ? std::nan("") : lo;
        range[1] = values && how == "no usable value" ? std::nan("") : hi;
    }
    std::printf("color-by %s: range %g .. %g (%s%s)\n", scene.colorBy.c_str(), lo, hi, how.c_str(),
                scene.colorLog ? ", log10" : "");
    mapping->emplace(scene.colormap, scene.colorLog, lo, hi);
    return true;
}

bool loadFile(const Api& api, TLContext* ctx, const Scene& scene, CloudInfo* info, std::string* error) {
    const auto t0 = std::chrono::steady_clock::now();
    const readers::ReadOptions options = readOptions(scene);
    std::optional<ColorMapping> mapping;
    if (!scene.colorBy.empty() && !colorMapping(scene, options, &mapping, error)) return false;
    auto reader = readers::openParticleFile(scene.inputFile, options, error);
    if (!reader) return false;
    const uint64_t count = reader->count();
    if (api.reserve(ctx, count, reader->hasVelocities() ? 1 : 0) != 0) {
        *error = "cannot hold the " + std::to_string(count) + " particles of " + scene.inputFile + ": " +
                 api.lastError(ctx);
        return false;
    }
    Reservoir<TLV3> sample;
    uint64_t offset = 0;
    auto upload = [&](readers::ParticleChunk& piece, uint64_t at) {
        const size_t n = piece.positions.size();
        if (mapping) {
            if (piece.values.size() != n) {
                *error = scene.inputFile + ": the reader handed out no values of " + scene.colorBy;
                return false;
            }
            piece.colors.resize(n);
            for (size_t i = 0; i < n; ++i) piece.colors[i] = (*mapping)(piece.values[i]);
        }
        if (api.upload(ctx, piece.positions.data(), piece.colors.empty() ? nullptr : piece.colors.data(),
                       piece.velocities.empty() ? nullptr : piece.velocities.data(), n, at) != 0) {
            *error = "upload of " + scene.inputFile + ": " + api.lastError(ctx);
            return false;
        }
        for (const TLV3& p : piece.positions) sample.add(p);  // the readers drop non-finite positions
        offset = at + n;
        return true;
    };
    const bool ok = readAll(*reader, "reading " + scene.inputFile, error, upload);
    for (const std::string& warning : reader->warnings())
        std::fprintf(stderr, "taluna-render: warning: %s: %s\n", scene.inputFile.c_str(), warning.c_str());
    if (!ok) return false;
    info->count = offset;
    std::printf("read %llu particles from %s (%s%s) in %.1f ms\n", static_cast<unsigned long long>(offset),
                scene.inputFile.c_str(),
                mapping ? ("colours by " + scene.colorBy).c_str() : reader->hasColors() ? "colours" : "no colours",
                reader->hasVelocities() ? ", velocities" : "", msSince(t0));
    if (offset == 0) {
        *error = scene.inputFile + ": no particles to render";
        return false;
    }
    centralBox(sample.kept(), info);
    return true;
}

}  // namespace

readers::ReadOptions readOptions(const Scene& scene) {
    readers::ReadOptions options;
    options.format = scene.inputFormat;
    options.colorBy = scene.colorBy;
    options.types = scene.inputTypes;
    options.shareIndex = scene.shareIndex;
    options.shareCount = scene.shareCount;
    return options;
}

bool cloudSize(const Scene& scene, CloudSize* size, std::string* error) {
    if (scene.inputFile.empty()) {
        *size = CloudSize{scene.galaxyCount, scene.galaxyVelocities || scene.settings.shutter > 0.0f};
        return true;
    }
    const auto reader = readers::openParticleFile(scene.inputFile, readOptions(scene), error);
    if (!reader) return false;
    *size = CloudSize{reader->count(), reader->hasVelocities()};
    return true;
}

bool surveyFile(const Scene& scene, bool bounds, CloudInfo* info, std::optional<ColorMapping>* mapping,
                std::string* error) {
    *info = CloudInfo();
    Reservoir<TLV3> sample;
    if (!colorMapping(scene, readOptions(scene), mapping, error, bounds ? &sample : nullptr, &info->count,
                      info->colorRange))
        return false;
    if (bounds) centralBox(sample.kept(), info);
    return true;
}

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
