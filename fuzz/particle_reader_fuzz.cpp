// The renderer tool's particle readers (one build per TALUNA_FUZZ_READER_FORMAT: "ply", "csv", "raw")
// on arbitrary files, read in chunks of any size. A reader refuses the file with a message naming it,
// or hands out no more particles than it announced (fewer only with a warning: a file cut short, rows
// dropped), none of them with a non-finite coordinate, in chunks no larger than asked for, with colours
// and velocities where it said; a failure while reading names the file and repeats.
// Input: one byte choosing the chunk size (1 to 256, or 4096), then the file's contents.
#include <cmath>
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "readers/particle_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t chunk = data[0] == 255 ? 4096 : 1 + data[0];
    const taluna::fuzz::MemoryFile file(data + 1, size - 1);
    const std::string path = file.path();

    std::string error;
    std::unique_ptr<taluna::readers::ParticleReader> reader =
        taluna::readers::openParticleFile(path, TALUNA_FUZZ_READER_FORMAT, &error);
    FUZZ_CHECK(reader || (error.size() > path.size() + 2 && error.starts_with(path + ": ")), error);
    if (!reader) return 0;
    const uint64_t count = reader->count();
    // Every particle takes at least one byte of the file.
    FUZZ_CHECK(count <= size, "announced count " + std::to_string(count));

    taluna::readers::ParticleChunk out;
    uint64_t total = 0;
    for (;;) {
        if (!reader->next(chunk, out, &error)) {
            FUZZ_CHECK(error.size() > path.size() + 2 && error.starts_with(path + ": "), error);
            FUZZ_CHECK(out.positions.empty() && out.colors.empty() && out.velocities.empty(), "a failed chunk is empty");
            std::string again;
            FUZZ_CHECK(!reader->next(chunk, out, &again) && again == error, "a failure repeats: " + again);
            FUZZ_CHECK(total < count, "failed after handing out every particle");
            return 0;
        }
        const size_t n = out.positions.size();
        FUZZ_CHECK(n <= chunk, "chunk size");
        for (const TLV3& p : out.positions)
            FUZZ_CHECK(std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z), "a non-finite position");
        FUZZ_CHECK(out.colors.size() == (reader->hasColors() ? n : 0) &&
                       out.velocities.size() == (reader->hasVelocities() ? n : 0), "colours and velocities");
        if (n == 0) break;
        total += n;
        FUZZ_CHECK(total <= count, "more particles than announced");
    }
    FUZZ_CHECK(total == count || !reader->warnings().empty(), "fewer particles than announced, without a warning");
    return 0;
}
