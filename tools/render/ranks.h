// The processes of an `mpirun -n R taluna-render ...` launch: each renders its share of the particles, the
// per-pixel sums are added up on rank 0, which writes the files. Built without MPI (TALUNA_WITH_MPI unset),
// or started without a launcher, it is a world of one in which every operation succeeds at once.
//
// Every rank must make the same calls in the same order: each one is collective. A rank that fails in a
// phase (a broken file, an allocation) does not leave early but takes part in the next agree(), which tells
// every rank; all of them then end with the message of the rank that failed. The arguments of each call are
// checked on all ranks together first, so a wrong count on one rank fails the call everywhere instead of
// leaving the others waiting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace taluna::render {

class Ranks {
public:
    // Starts MPI only when the process was started by an MPI launcher (OMPI_COMM_WORLD_SIZE, PMIX_RANK or
    // PMI_RANK in the environment): a plain run never initialises MPI. Throws std::runtime_error when MPI
    // cannot start.
    Ranks(int* argc, char*** argv);
    // Finalizes MPI when this object started it. Destroyed while an exception unwinds, or after an MPI call
    // failed, it aborts every rank instead: the others may be waiting in a collective that this rank will
    // never join, and finalizing would wait for them in turn.
    ~Ranks();
    Ranks(const Ranks&) = delete;
    Ranks& operator=(const Ranks&) = delete;

    int rank() const { return rank_; }
    int size() const { return size_; }
    // Rank among the processes on this host (OMPI_COMM_WORLD_LOCAL_RANK, else a split by shared-memory
    // node): which GPU to use.
    int localRank() const { return localRank_; }
    bool distributed() const { return size_ > 1; }

    // Collective agreement after a phase in which any rank may have failed (*error holds the failing rank's
    // message). Returns true when every rank succeeded, leaving *error alone. Otherwise returns false on
    // every rank, and with more than one rank sets *error everywhere to "rank R: " and the message of the
    // lowest failing rank R.
    bool agree(bool ok, std::string* error);
    // Adds up `count` floats of every rank on rank 0, whose buffer receives the sums; the other ranks'
    // buffers are left as they were. The same inputs give the same bits (a fixed root and MPI's reduction,
    // which does not depend on timing).
    bool reduceToRoot(float* data, size_t count, std::string* error);
    // Every rank's bytes, on every rank, in rank order.
    bool allGather(const std::vector<uint8_t>& mine, std::vector<std::vector<uint8_t>>* all, std::string* error);
    // Rank 0's `bytes` bytes to every rank; `bytes` must be the same on all ranks.
    bool broadcast(void* data, size_t bytes, std::string* error);

    // After a failure on this rank alone, outside any collective (writing a file on rank 0): the others may
    // be waiting in the next collective, so this rank ends every rank at exit instead of finalizing.
    void abandon() { broken_ = true; }

    // Most elements one MPI call carries (MPI counts are int): longer buffers go in pieces, and allGather
    // refuses more than this many bytes in all. Tests lower it to send small buffers in pieces.
    void setPieceLimit(size_t elements);

private:
    // Checks the arguments of a collective on all ranks at once: false everywhere, with a message, when a
    // rank passed a bad buffer or the ranks disagree on `count`.
    bool checkCollective(const char* what, size_t count, bool valid, std::string* error);
    // Turns a failed MPI call into a message and marks this process as no longer able to finish cleanly.
    bool failed(const char* call, int code, std::string* error);

    int rank_ = 0;
    int size_ = 1;
    int localRank_ = 0;
    bool started_ = false;  // this object initialised MPI and must end it
    bool broken_ = false;   // an MPI call failed: the ranks may be out of step
    std::string brokenMessage_;
    int unwinding_ = 0;  // exceptions in flight when constructed
    size_t pieceLimit_;
};

}  // namespace taluna::render
