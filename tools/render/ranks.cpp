#include "render/ranks.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <exception>
#include <stdexcept>

#if TALUNA_WITH_MPI
#include <mpi.h>
#endif

namespace taluna::render {

#if TALUNA_WITH_MPI
namespace {

bool launchedByMpi() {
    for (const char* name : {"OMPI_COMM_WORLD_SIZE", "PMIX_RANK", "PMI_RANK"})
        if (std::getenv(name) != nullptr) return true;
    return false;
}

std::string mpiMessage(const char* call, int code) {
    char text[MPI_MAX_ERROR_STRING];
    int length = 0;
    if (MPI_Error_string(code, text, &length) != MPI_SUCCESS)
        return std::string(call) + ": MPI error " + std::to_string(code);
    return std::string(call) + ": " + std::string(text, static_cast<size_t>(length));
}

// Set when a rank must not finalize: the others may wait in a collective that it will never join, and
// MPI_Finalize would wait for them. The exit handler then aborts every rank, after main has printed why.
bool abortAtExit = false;

void abortWorldAtExit() {
    if (abortAtExit) MPI_Abort(MPI_COMM_WORLD, 1);
}

// A failing rank's message as the others receive it: long enough for any path and reason.
constexpr int kMaxMessage = 64 * 1024;

}  // namespace
#endif

Ranks::Ranks(int* argc, char*** argv) : unwinding_(std::uncaught_exceptions()), pieceLimit_(INT_MAX) {
#if TALUNA_WITH_MPI
    // A plain run stays free of MPI: no singleton start-up, no launcher messages.
    if (!launchedByMpi()) return;
    int initialized = 0;
    MPI_Initialized(&initialized);
    if (!initialized) {
        // Only the main thread calls MPI; the frame writers and OpenMP's threads never do.
        int provided = 0;
        const int code = MPI_Init_thread(argc, argv, MPI_THREAD_FUNNELED, &provided);
        if (code != MPI_SUCCESS) throw std::runtime_error(mpiMessage("MPI_Init_thread", code));
        started_ = true;
    }
    // Failures come back as codes that become messages; the default handler would abort the run outright.
    MPI_Comm_set_errhandler(MPI_COMM_WORLD, MPI_ERRORS_RETURN);
    MPI_Comm_rank(MPI_COMM_WORLD, &rank_);
    MPI_Comm_size(MPI_COMM_WORLD, &size_);
    static bool handlerSet = false;
    if (!handlerSet && std::atexit(abortWorldAtExit) == 0) handlerSet = true;

    const char* local = std::getenv("OMPI_COMM_WORLD_LOCAL_RANK");
    char* end = nullptr;
    const long value = local ? std::strtol(local, &end, 10) : -1;
    if (local && *local && *end == '\0' && value >= 0 && value < size_) {
        localRank_ = static_cast<int>(value);
    } else {
        MPI_Comm node;
        int code = MPI_Comm_split_type(MPI_COMM_WORLD, MPI_COMM_TYPE_SHARED, rank_, MPI_INFO_NULL, &node);
        if (code == MPI_SUCCESS) {
            code = MPI_Comm_rank(node, &localRank_);
            MPI_Comm_free(&node);
        }
        if (code != MPI_SUCCESS) {
            // Ranks whose split succeeded go on to their first collective: end them all at exit.
            abortAtExit = true;
            throw std::runtime_error(mpiMessage("MPI_Comm_split_type", code));
        }
    }
#else
    (void)argc;
    (void)argv;
#endif
}

Ranks::~Ranks() {
#if TALUNA_WITH_MPI
    if (size_ > 1 && (broken_ || std::uncaught_exceptions() > unwinding_)) {
        abortAtExit = true;
        return;
    }
    int finalized = 0;
    MPI_Finalized(&finalized);
    if (started_ && !finalized) MPI_Finalize();
#endif
}

void Ranks::setPieceLimit(size_t elements) { pieceLimit_ = std::clamp<size_t>(elements, 1, INT_MAX); }

bool Ranks::failed(const char* call, int code, std::string* error) {
    broken_ = true;
#if TALUNA_WITH_MPI
    brokenMessage_ = "rank " + std::to_string(rank_) + ": " + mpiMessage(call, code);
#else
    brokenMessage_ = std::string(call) + ": error " + std::to_string(code);
#endif
    if (error) *error = brokenMessage_;
    return false;
}

bool Ranks::checkCollective(const char* what, size_t count, bool valid, std::string* error) {
    if (broken_) {
        if (error) *error = brokenMessage_;
        return false;
    }
    // Highest rank without a buffer (plus one), largest count, and the complement of the smallest count.
    uint64_t check[3] = {valid ? 0 : static_cast<uint64_t>(rank_) + 1, count, ~static_cast<uint64_t>(count)};
#if TALUNA_WITH_MPI
    if (size_ > 1) {
        const int code = MPI_Allreduce(MPI_IN_PLACE, check, 3, MPI_UINT64_T, MPI_MAX, MPI_COMM_WORLD);
        if (code != MPI_SUCCESS) return failed("MPI_Allreduce", code, error);
    }
#endif
    if (check[0] != 0) {
        if (error) *error = "rank " + std::to_string(check[0] - 1) + ": " + what + ": no buffer";
        return false;
    }
    if (check[1] != ~check[2]) {
        if (error)
            *error = std::string(what) + ": the ranks pass different sizes (" + std::to_string(~check[2]) + " to " +
                     std::to_string(check[1]) + ")";
        return false;
    }
    return true;
}

bool Ranks::agree(bool ok, std::string* error) {
    if (broken_) {
        if (error) *error = brokenMessage_;
        return false;
    }
    if (size_ == 1) return ok;
#if TALUNA_WITH_MPI
    int lowest = ok ? size_ : rank_;
    int code = MPI_Allreduce(MPI_IN_PLACE, &lowest, 1, MPI_INT, MPI_MIN, MPI_COMM_WORLD);
    if (code != MPI_SUCCESS) return failed("MPI_Allreduce", code, error);
    if (lowest == size_) return true;

    std::string message;
    if (rank_ == lowest) {
        message = error && !error->empty() ? *error : "failed";
        message.resize(std::min<size_t>(message.size(), kMaxMessage));
    }
    int length = static_cast<int>(message.size());
    code = MPI_Bcast(&length, 1, MPI_INT, lowest, MPI_COMM_WORLD);
    if (code != MPI_SUCCESS) return failed("MPI_Bcast", code, error);
    message.resize(static_cast<size_t>(length));
    code = MPI_Bcast(message.data(), length, MPI_CHAR, lowest, MPI_COMM_WORLD);
    if (code != MPI_SUCCESS) return failed("MPI_Bcast", code, error);
    if (error) *error = "rank " + std::to_string(lowest) + ": " + message;
#endif
    return false;
}

bool Ranks::reduceToRoot(float* data, size_t count, std::string* error) {
    if (!checkCollective("reduceToRoot", count, data != nullptr || count == 0, error)) return false;
#if TALUNA_WITH_MPI
    for (size_t done = 0; size_ > 1 && done < count;) {
        const int n = static_cast<int>(std::min(count - done, pieceLimit_));
        const int code = rank_ == 0 ? MPI_Reduce(MPI_IN_PLACE, data + done, n, MPI_FLOAT, MPI_SUM, 0, MPI_COMM_WORLD)
                                    : MPI_Reduce(data + done, nullptr, n, MPI_FLOAT, MPI_SUM, 0, MPI_COMM_WORLD);
        if (code != MPI_SUCCESS) return failed("MPI_Reduce", code, error);
        done += static_cast<size_t>(n);
    }
#endif
    return true;
}

bool Ranks::broadcast(void* data, size_t bytes, std::string* error) {
    if (!checkCollective("broadcast", bytes, data != nullptr || bytes == 0, error)) return false;
#if TALUNA_WITH_MPI
    for (size_t done = 0; size_ > 1 && done < bytes;) {
        const int n = static_cast<int>(std::min(bytes - done, pieceLimit_));
        const int code = MPI_Bcast(static_cast<uint8_t*>(data) + done, n, MPI_BYTE, 0, MPI_COMM_WORLD);
        if (code != MPI_SUCCESS) return failed("MPI_Bcast", code, error);
        done += static_cast<size_t>(n);
    }
#endif
    return true;
}

bool Ranks::allGather(const std::vector<uint8_t>& mine, std::vector<std::vector<uint8_t>>* all, std::string* error) {
    // The ranks' sizes differ, so only the buffer is checked together here; the sizes are exchanged below.
    if (!checkCollective("allGather", 0, all != nullptr, error)) return false;
    if (size_ == 1) {
        *all = {mine};
        return true;
    }
#if TALUNA_WITH_MPI
    std::vector<uint64_t> sizes(static_cast<size_t>(size_));
    sizes[static_cast<size_t>(rank_)] = mine.size();
    int code = MPI_Allgather(MPI_IN_PLACE, 0, MPI_DATATYPE_NULL, sizes.data(), 1, MPI_UINT64_T, MPI_COMM_WORLD);
    if (code != MPI_SUCCESS) return failed("MPI_Allgather", code, error);
    uint64_t total = 0;
    for (uint64_t s : sizes) total += s;
    // Every rank sees the same total, so all of them refuse together.
    if (total > pieceLimit_) {
        if (error)
            *error = "allGather: " + std::to_string(total) + " bytes from all ranks, more than one call carries (" +
                     std::to_string(pieceLimit_) + ")";
        return false;
    }
    std::vector<int> counts(sizes.size()), offsets(sizes.size());
    for (size_t r = 0, offset = 0; r < sizes.size(); offset += sizes[r], ++r) {
        counts[r] = static_cast<int>(sizes[r]);
        offsets[r] = static_cast<int>(offset);
    }
    std::vector<uint8_t> joined(total);
    code = MPI_Allgatherv(mine.data(), static_cast<int>(mine.size()), MPI_BYTE, joined.data(), counts.data(),
                          offsets.data(), MPI_BYTE, MPI_COMM_WORLD);
    if (code != MPI_SUCCESS) return failed("MPI_Allgatherv", code, error);
    all->resize(sizes.size());
    for (size_t r = 0; r < sizes.size(); ++r)
        (*all)[r].assign(joined.begin() + offsets[r], joined.begin() + offsets[r] + counts[r]);
#endif
    return true;
}

}  // namespace taluna::render
