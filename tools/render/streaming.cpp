#include "render/streaming.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "render/progress.h"

namespace taluna::render {
namespace {

// tlReserve keeps this much of the free memory for frames and the runtime.
constexpr uint64_t kHeadroomBytes = uint64_t{512} << 20;
// A frame's buffers on the device: the float sums (16), the 8-bit and float images (4 + 16), a depth (4).
constexpr uint64_t kFrameBytesPerPixel = 40;
// Particles per read of a file, as the one-piece load reads them.
constexpr size_t kPieceSize = size_t{1} << 20;
// Pieces waiting for each device: reading runs ahead of the uploads by this much host memory (28 MB a piece
// at most) and no more.
constexpr size_t kQueueDepth = 2;

struct Piece {
    readers::ParticleChunk particles;
    uint64_t offset = 0;      // in the chunk
    uint64_t chunkFirst = 0;  // index of the chunk's first particle in the whole cloud
    bool closes = false;      // the chunk's last piece: render the chunk once it is uploaded
};

// One pass: the threads of the devices, the pieces between them and this thread, the first failure.
class Pass {
public:
    Pass(const Api& api, const std::vector<Device>& devices, const CloudSource& source, uint64_t chunk,
         const TLRenderSettings& settings, const std::vector<TLCamera>& views, std::vector<std::vector<TLFloat4>>& sums)
        : api_(api), source_(source), chunk_(chunk), settings_(settings), views_(views), lanes_(devices.size()) {
        const size_t pixels = static_cast<size_t>(settings.width) * static_cast<size_t>(settings.height);
        for (size_t d = 0; d < lanes_.size(); ++d) {
            lanes_[d].device = devices[d];
            if (d == 0) {
                lanes_[d].sums = &sums;  // the first device adds straight into the caller's sums
            } else {
                lanes_[d].own.assign(views.size(), std::vector<TLFloat4>(pixels, TLFloat4{0, 0, 0, 0}));
                lanes_[d].sums = &lanes_[d].own;
            }
        }
    }

    bool run(bool showProgress, PassResult* result, std::string* error) {
        std::unique_ptr<readers::ParticleReader> reader;
        uint64_t count = source_.count;
        bool velocities = source_.velocities;
        if (source_.open) {
            reader = source_.open(error);
            if (!reader) return false;
            count = reader->count();
            velocities = reader->hasVelocities();
        }
        // No more than the source holds, so that a small cloud does not claim a whole chunk of memory.
        const uint64_t capacity = std::min(chunk_, count);
        size_t started = 0;
        try {
            const bool file = reader != nullptr;
            for (; started < lanes_.size(); ++started)
                lanes_[started].thread = std::thread(
                    [this, d = started, capacity, velocities, file] { work(d, capacity, velocities, file); });
        } catch (const std::system_error& e) {
            fail(std::string("cannot start a thread per device: ") + e.what());
        }
        std::optional<Progress> progress;
        if (showProgress && started == lanes_.size()) progress.emplace("streaming " + source_.label, count, true);
        if (progress) progress->update(0);
        if (started < lanes_.size()) {
            close();
        } else if (reader) {
            feed(*reader, progress ? &*progress : nullptr, result);
            result->warnings = reader->warnings();
        } else {
            waitForGalaxy(progress ? &*progress : nullptr, result);
        }
        for (size_t d = 0; d < started; ++d) lanes_[d].thread.join();
        if (!failure_.empty()) {
            *error = failure_;
            return false;
        }
        if (progress) {
            progress->update(count);
            progress->finish();
        }
        // In the order of the devices, whichever finished first.
        for (size_t d = 1; d < lanes_.size(); ++d)
            for (size_t v = 0; v < views_.size(); ++v) {
                TLFloat4* to = (*lanes_[0].sums)[v].data();
                const TLFloat4* from = lanes_[d].own[v].data();
                for (size_t i = 0, n = lanes_[d].own[v].size(); i < n; ++i) {
                    to[i].x += from[i].x;
                    to[i].y += from[i].y;
                    to[i].z += from[i].z;
                    to[i].w += from[i].w;
                }
            }
        return true;
    }

private:
    struct Lane {
        Device device;
        std::vector<std::vector<TLFloat4>> own;  // the sums of a device after the first
        std::vector<std::vector<TLFloat4>>* sums = nullptr;
        std::deque<Piece> queue;
        std::thread thread;
    };

    // Records the first failure and wakes everyone to stop. Returns false for the caller to return.
    bool fail(const std::string& message) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (failure_.empty()) failure_ = message.empty() ? "failed without a message" : message;
        changed_.notify_all();
        return false;
    }
    bool failOn(const Lane& lane, const std::string& what) {
        return fail("device " + std::to_string(lane.device.ordinal) + ": " + what + ": " +
                    api_.lastError(lane.device.ctx));
    }
    bool stopped() {
        std::lock_guard<std::mutex> lock(mutex_);
        return !failure_.empty();
    }
    // No more pieces come: the device threads return once their queues are empty.
    void close() {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        changed_.notify_all();
    }
    uint64_t galaxyChunks() const { return source_.count / chunk_ + (source_.count % chunk_ != 0); }

    // The thread of device d: a file's chunks as they arrive, or the galaxy's chunks d, d + D, d + 2D...
    void work(size_t d, uint64_t capacity, bool velocities, bool file) {
        Lane& lane = lanes_[d];
        const Api& api = api_;
        TLContext* ctx = lane.device.ctx;
        try {
            if (capacity > 0 && api.reserve(ctx, capacity, velocities ? 1 : 0) != 0) {
                failOn(lane, "cannot hold a chunk of " + std::to_string(capacity) + " particles");
            } else if (file) {
                upload(lane);
            } else {
                for (uint64_t k = d; k < galaxyChunks() && !stopped(); k += lanes_.size()) {
                    const uint64_t first = source_.first + k * chunk_;
                    const uint64_t n = std::min(chunk_, source_.count - k * chunk_);
                    if (api.generateTestCloudRange(ctx, first, n, source_.seed, velocities ? 1 : 0) != 0) {
                        failOn(lane, "galaxy");
                        break;
                    }
                    if (!render(lane, first)) break;
                    std::lock_guard<std::mutex> lock(mutex_);
                    done_ += n;
                }
            }
        } catch (const std::bad_alloc&) {
            fail("device " + std::to_string(lane.device.ordinal) + ": out of host memory");
        } catch (const std::exception& e) {
            fail("device " + std::to_string(lane.device.ordinal) + ": " + e.what());
        }
        std::lock_guard<std::mutex> lock(mutex_);
        ++finished_;
        changed_.notify_all();
    }

    // Uploads the pieces handed to this device, rendering each chunk after its last piece.
    void upload(Lane& lane) {
        const Api& api = api_;
        TLContext* ctx = lane.device.ctx;
        uint64_t filled = 0;
        while (true) {
            Piece piece;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [&] { return !lane.queue.empty() || closed_ || !failure_.empty(); });
                if (!failure_.empty() || lane.queue.empty()) return;
                piece = std::move(lane.queue.front());
                lane.queue.pop_front();
                changed_.notify_all();  // room for the reader
            }
            readers::ParticleChunk& p = piece.particles;
            const size_t n = p.positions.size();
            if (n > 0) {
                if (source_.mapping) {
                    if (p.values.size() != n) return void(fail(source_.label + ": the reader handed out no values"));
                    p.colors.resize(n);
                    for (size_t i = 0; i < n; ++i) p.colors[i] = (*source_.mapping)(p.values[i]);
                }
                if (api.upload(ctx, p.positions.data(), p.colors.empty() ? nullptr : p.colors.data(),
                               p.velocities.empty() ? nullptr : p.velocities.data(), n, piece.offset) != 0)
                    return void(failOn(lane, "upload of " + source_.label));
                filled = piece.offset + n;
            }
            if (!piece.closes) continue;
            // An upload at 0 leaves a longer earlier chunk's count in place.
            if (api.setCount(ctx, filled) != 0) return void(failOn(lane, "chunk"));
            if (!render(lane, piece.chunkFirst)) return;
        }
    }

    bool render(Lane& lane, uint64_t first) {
        for (size_t v = 0; v < views_.size(); ++v)
            if (api_.accumulate(lane.device.ctx, &views_[v], &settings_, first, (*lane.sums)[v].data()) != 0)
                return failOn(lane, "render");
        return true;
    }

    // Hands piece after piece to the devices, chunk k to device k mod D, waiting while that device has
    // kQueueDepth pieces; stops at the end of the file or at the first failure.
    void feed(readers::ParticleReader& reader, Progress* progress, PassResult* result) {
        uint64_t filled = 0, before = 0;  // particles in the current chunk, in the chunks before it
        uint64_t chunks = 0;
        auto hand = [&](Piece&& piece) {
            Lane& lane = lanes_[chunks % lanes_.size()];
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [&] { return lane.queue.size() < kQueueDepth || !failure_.empty(); });
            if (!failure_.empty()) return false;
            lane.queue.push_back(std::move(piece));
            changed_.notify_all();
            return true;
        };
        while (true) {
            Piece piece;
            std::string why;
            if (!reader.next(static_cast<size_t>(std::min<uint64_t>(kPieceSize, chunk_ - filled)), piece.particles,
                             &why)) {
                fail(why);
                break;
            }
            const size_t n = piece.particles.positions.size();
            if (n == 0) {
                // The file ended inside a chunk, or sooner than it said: render what the chunk holds.
                if (filled > 0 && hand(Piece{{}, filled, source_.first + before, true})) ++chunks;
                break;
            }
            piece.offset = filled;
            piece.chunkFirst = source_.first + before;
            filled += n;
            piece.closes = filled == chunk_;
            if (!hand(std::move(piece))) break;
            result->particles += n;
            if (progress) progress->update(result->particles);
            if (filled == chunk_) {
                ++chunks;
                before += filled;
                filled = 0;
            }
        }
        close();
        result->chunks = chunks;
    }

    void waitForGalaxy(Progress* progress, PassResult* result) {
        uint64_t done = 0;
        while (true) {
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait_for(lock, std::chrono::milliseconds(100), [&] { return finished_ == lanes_.size(); });
                done = done_;
                if (finished_ == lanes_.size()) break;
            }
            if (progress) progress->update(done);
        }
        result->particles = done;
        result->chunks = galaxyChunks();
    }

    const Api& api_;
    const CloudSource& source_;
    const uint64_t chunk_;
    const TLRenderSettings& settings_;
    const std::vector<TLCamera>& views_;
    std::vector<Lane> lanes_;

    std::mutex mutex_;
    std::condition_variable changed_;
    bool closed_ = false;  // no more pieces come
    std::string failure_;  // the first failure; set, it stops every thread
    uint64_t done_ = 0;    // galaxy particles rendered
    size_t finished_ = 0;  // device threads that have returned
};

}  // namespace

bool bytesPerContext(const Api& api, const std::vector<Device>& devices, uint64_t pixels, uint64_t* bytes,
                     std::string* error) {
    std::map<int, std::vector<const Device*>> byOrdinal;
    for (const Device& d : devices) byOrdinal[d.ordinal].push_back(&d);
    uint64_t least = UINT64_MAX;
    for (const auto& [ordinal, contexts] : byOrdinal) {
        uint64_t freeBytes = 0;
        if (api.deviceMemory(contexts[0]->ctx, &freeBytes, nullptr) != 0) {
            *error = "device " + std::to_string(ordinal) + ": " + api.lastError(contexts[0]->ctx);
            return false;
        }
        const uint64_t shared = contexts.size();
        const uint64_t reserved = kHeadroomBytes + shared * pixels * kFrameBytesPerPixel;
        least = std::min(least, freeBytes > reserved ? (freeBytes - reserved) / shared : 0);
    }
    *bytes = devices.empty() ? 0 : least;
    return true;
}

// A tenth of the room stays free: the runtime allocates a little per launch (the CPU library's splat bins,
// CUDA's own), and a chunk that fills the device exactly would fail on the first frame instead of at once.
uint64_t chunkFor(uint64_t bytes, uint64_t bytesPerParticle) { return bytes / 10 * 9 / bytesPerParticle; }

bool accumulatePass(const Api& api, const std::vector<Device>& devices, const CloudSource& source, uint64_t chunk,
                    const TLRenderSettings& settings, const std::vector<TLCamera>& views,
                    std::vector<std::vector<TLFloat4>>& sums, bool progress, PassResult* result, std::string* error) {
    *result = PassResult();
    if (devices.empty() || chunk == 0 || sums.size() != views.size()) {
        *error = "nothing to render on: no device or an empty chunk";
        return false;
    }
    Pass pass(api, devices, source, chunk, settings, views, sums);
    return pass.run(progress, result, error);
}

}  // namespace taluna::render
