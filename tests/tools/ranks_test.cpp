// The renderer tool's MPI ranks: run under mpirun with two ranks (test `ranks`) and alone, where it must be a
// world of one that never initialises MPI (`ranks_single`). `--exit agreed|thrown|killed` instead ends a run in
// which rank 1 fails in one of those ways; ranks_exit.cmake checks that every rank ends, with the message.
#include <gtest/gtest.h>
#include <mpi.h>

#include <climits>
#include <csignal>
#include <cstdlib>
#include <numeric>
#include <stdexcept>

#include "render/ranks.h"

using taluna::render::Ranks;

namespace {

Ranks* world = nullptr;

bool launched() { return std::getenv("OMPI_COMM_WORLD_SIZE") != nullptr; }

TEST(Ranks, World) {
    int initialized = 0;
    MPI_Initialized(&initialized);
    EXPECT_EQ(initialized != 0, launched());
    EXPECT_EQ(world->size(), launched() ? std::atoi(std::getenv("OMPI_COMM_WORLD_SIZE")) : 1);
    // One host: the local rank is the rank, from the launcher's variable or, without it, from the split.
    EXPECT_EQ(world->localRank(), world->rank());
    if (launched()) {
        unsetenv("OMPI_COMM_WORLD_LOCAL_RANK");
        Ranks again(nullptr, nullptr);
        EXPECT_EQ(again.localRank(), world->rank());
    }
}

TEST(Ranks, ReduceToRootSumsOnRootAlone) {
    const int rank = world->rank(), size = world->size();
    for (size_t piece : {size_t{INT_MAX}, size_t{7}}) {
        world->setPieceLimit(piece);
        std::vector<float> data(100), expected(100);
        for (size_t i = 0; i < data.size(); ++i) {
            data[i] = static_cast<float>(i) + 1000.0f * static_cast<float>(rank);
            expected[i] = rank != 0 ? data[i] : static_cast<float>(size * i + 500 * size * (size - 1));
        }
        std::string error;
        ASSERT_TRUE(world->reduceToRoot(data.data(), data.size(), &error)) << error;
        EXPECT_EQ(data, expected) << "piece " << piece;
    }
    world->setPieceLimit(INT_MAX);
}

TEST(Ranks, AgreeGivesEveryRankTheLowestFailure) {
    std::string error = "untouched";
    EXPECT_TRUE(world->agree(true, &error));
    EXPECT_EQ(error, "untouched");
    // Every rank from 1 on fails; alone, rank 0 fails and keeps its own message.
    error = "broken file " + std::to_string(world->rank());
    EXPECT_FALSE(world->agree(world->rank() == 0 && world->distributed(), &error));
    EXPECT_EQ(error, world->distributed() ? "rank 1: broken file 1" : "broken file 0");
    // Still in step afterwards.
    EXPECT_TRUE(world->agree(true, &error));
}

TEST(Ranks, GatherAndBroadcastBytes) {
    const int rank = world->rank();
    std::vector<std::vector<uint8_t>> all;
    std::string error;
    ASSERT_TRUE(world->allGather(std::vector<uint8_t>(3 * rank, uint8_t(rank + 1)), &all, &error)) << error;
    ASSERT_EQ(all.size(), size_t(world->size()));
    for (size_t r = 0; r < all.size(); ++r) EXPECT_EQ(all[r], std::vector<uint8_t>(3 * r, uint8_t(r + 1)));

    world->setPieceLimit(5);
    std::vector<uint8_t> sent(23), bytes(23);
    std::iota(sent.begin(), sent.end(), 1);
    if (rank == 0) bytes = sent;
    ASSERT_TRUE(world->broadcast(bytes.data(), bytes.size(), &error)) << error;
    EXPECT_EQ(bytes, sent);
    if (world->distributed()) {  // more than one call carries: every rank refuses
        EXPECT_FALSE(world->allGather(std::vector<uint8_t>(3), &all, &error));
        EXPECT_NE(error.find("more than one call carries"), std::string::npos) << error;
    }
    world->setPieceLimit(INT_MAX);
}

// Calls whose arguments differ between ranks fail on every rank instead of leaving some waiting.
TEST(Ranks, MismatchedCallsFailEverywhere) {
    if (!world->distributed()) GTEST_SKIP() << "one rank";
    const int last = world->size() - 1;
    std::vector<float> data(10 + world->rank());
    std::string error;
    EXPECT_FALSE(world->reduceToRoot(data.data(), data.size(), &error));
    EXPECT_NE(error.find("different sizes (10 to " + std::to_string(10 + last) + ")"), std::string::npos) << error;
    EXPECT_FALSE(world->broadcast(world->rank() == last ? nullptr : data.data(), 4, &error));
    EXPECT_EQ(error, "rank " + std::to_string(last) + ": broadcast: no buffer");
    EXPECT_TRUE(world->reduceToRoot(data.data(), 4, &error)) << error;
}

// Rank 1 fails in one of three ways while rank 0 goes on to the agreement.
int endFailedRun(const std::string& how, int* argc, char*** argv) {
    try {
        Ranks ranks(argc, argv);
        std::string error = "broken file";
        if (ranks.rank() == 1 && how == "thrown") throw std::runtime_error(error);
        if (ranks.rank() == 1 && how == "killed") std::raise(SIGKILL);
        if (ranks.agree(ranks.rank() != 1, &error)) return 0;
        std::fprintf(stderr, "ranks_test: %s\n", error.c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ranks_test: %s\n", e.what());
    }
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--exit") return endFailedRun(argv[2], &argc, &argv);
    Ranks ranks(&argc, &argv);
    world = &ranks;
    ::testing::InitGoogleTest(&argc, argv);
    std::string error = "tests failed";
    return ranks.agree(RUN_ALL_TESTS() == 0, &error) ? 0 : 1;
}
