// The generators of a run's workers: one table each, worker 0's randTable.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "tester/pattern_generator.h"
#include "tests/support/generator_state.h"

namespace {

std::vector<uint32_t> draws(int n) {
  std::vector<uint32_t> out;
  for (int i = 0; i < n; ++i) out.push_back(nextRand());
  return out;
}

std::vector<uint32_t> tableWords(const uint32_t* table) {
  return {table, table + kGeneratorWords};
}

TEST(WorkerGeneratorsTest, WorkerZeroIsRandTableSeededAsOneThreadSeedsIt) {
  WorkerGenerators generators;
  generators.resize(3);
  generators.seed(45435243);
  EXPECT_EQ(generators.table(0), randTable);
  EXPECT_EQ(draws(6),
            (std::vector<uint32_t>{780520928u, 503592317u, 2898600777u,
                                   3379311479u, 2590367944u, 2229671779u}));
}

TEST(WorkerGeneratorsTest, AWorkersSequenceDependsOnlyOnTheSeedAndItsNumber) {
  WorkerGenerators three;
  three.resize(3);
  three.seed(77);
  WorkerGenerators five;
  five.seed(77);
  five.resize(5);  // tables added later are seeded from the last seed
  WorkerGenerators otherSeed;
  otherSeed.resize(3);
  otherSeed.seed(78);
  for (unsigned worker = 1; worker < 3; ++worker) {
    SCOPED_TRACE(worker);
    EXPECT_EQ(tableWords(three.table(worker)), tableWords(five.table(worker)));
    EXPECT_NE(tableWords(three.table(worker)),
              tableWords(otherSeed.table(worker)));
    EXPECT_TRUE(workerStandsDrawsAfterSeed(three.table(worker), 0, 77, worker));
  }
  // No two workers draw the same sequence.
  std::vector<std::vector<uint32_t>> firstDraws;
  for (unsigned worker = 0; worker < 5; ++worker) {
    RandDraws loop(five.table(worker));
    std::vector<uint32_t> drawn;
    for (int n = 0; n < 100; ++n) drawn.push_back(loop.nextRand());
    for (const std::vector<uint32_t>& other : firstDraws) {
      EXPECT_NE(drawn, other) << "worker " << worker;
    }
    firstDraws.push_back(drawn);
  }
}

TEST(WorkerGeneratorsTest, DrawsFromAWorkersTableFollowTheAlgorithmThere) {
  WorkerGenerators generators;
  generators.resize(2);
  generators.seed(5);
  uint32_t* const own = generators.table(1);
  const std::vector<uint32_t> start = tableWords(own);
  seedRandNumber(6);
  const std::vector<uint32_t> randTableBefore = generatorState();

  std::vector<uint32_t> looped;
  for (int n : {1, 54, 1000}) {
    RandDraws loop(own);
    for (int i = 0; i < n; ++i) looped.push_back(loop.nextRand());
  }
  const std::vector<uint32_t> after = tableWords(own);
  EXPECT_EQ(generatorState(), randTableBefore);  // randTable untouched

  // The literal algorithm, run on a copy of the worker's starting state.
  std::copy(start.begin(), start.end(), randTable);
  std::vector<uint32_t> literal;
  for (size_t i = 0; i < looped.size(); ++i) literal.push_back(literalDraw());
  EXPECT_EQ(looped, literal);
  EXPECT_EQ(after, generatorState());
}

}  // namespace
