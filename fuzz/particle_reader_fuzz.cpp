// The renderer tool's particle readers on arbitrary file contents, read in chunks of any size. Built
// once per format (TALUNA_FUZZ_READER_FORMAT: "ply", "csv" or "raw"). A reader either refuses the file
// with a message naming it, or hands out exactly the particles it announced, in chunks no larger
// than asked for, with colours and velocities exactly where it said; a failure while reading names
// the file and repeats on every later call.
//
// Input: one byte choosing the chunk size (1 to 256, or 4096), then the file's contents.
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "readers/particle_reader.h"

#ifndef TALUNA_FUZZ_READER_FORMAT
#error "TALUNA_FUZZ_READER_FORMAT names the format to read"
#endif

namespace {

bool namesFile(const std::string& message, const std::string& path) {
    return message.size() > path.size() + 2 && message.compare(0, path.size() + 2, path + ": ") == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t chunk = data[0] == 255 ? 4096 : 1 + data[0];
    const taluna::fuzz::MemoryFile file(data + 1, size - 1);
    const std::string& path = file.path();

    std::string error;
    std::unique_ptr<taluna::readers::ParticleReader> reader =
        taluna::readers::openParticleFile(path, TALUNA_FUZZ_READER_FORMAT, &error);
    if (!reader) {
        FUZZ_CHECK(namesFile(error, path), error);
        return 0;
    }
    const uint64_t count = reader->count();
    // Every particle takes at least one byte of the file.
    FUZZ_CHECK(count <= size, "announced count " + std::to_string(count));

    taluna::readers::ParticleChunk out;
    uint64_t total = 0;
    for (;;) {
        if (!reader->next(chunk, out, &error)) {
            FUZZ_CHECK(namesFile(error, path), error);
            FUZZ_CHECK(out.positions.empty() && out.colors.empty() && out.velocities.empty(), "a failed chunk is empty");
            std::string again;
            FUZZ_CHECK(!reader->next(chunk, out, &again) && again == error, "a failure repeats: " + again);
            FUZZ_CHECK(total < count, "failed after handing out every particle");
            return 0;
        }
        const size_t n = out.positions.size();
        FUZZ_CHECK(n <= chunk, "chunk size");
        FUZZ_CHECK(out.colors.size() == (reader->hasColors() ? n : 0), "colours");
        FUZZ_CHECK(out.velocities.size() == (reader->hasVelocities() ? n : 0), "velocities");
        if (n == 0) break;
        total += n;
        FUZZ_CHECK(total <= count, "more particles than announced");
    }
    FUZZ_CHECK(total == count, "every announced particle");
    return 0;
}
