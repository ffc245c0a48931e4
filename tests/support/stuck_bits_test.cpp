// The stuck-bit emulation the fault tests build on: every kind of store is
// caught and counted once, neighbours are left alone, and signals that are
// not its own reach the handler that was there before.
#include "tests/support/stuck_bits.h"

#include <gtest/gtest.h>
#include <immintrin.h>
#include <signal.h>
#include <sys/mman.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/bank_pair.h"

namespace {

constexpr u64 kPageWords = 1024;
// A word well inside the second page of a bank, 16-byte aligned.
constexpr u64 kWord = kPageWords + 500;

// Stores `bytes` of `fill` starting `below` bytes under word kWord of the bank.
struct StoreCase {
  const char* name;
  void (*store)(char* at, uint8_t fill);
  int below;  // bytes between the store's start and the word
  int bytes;
  int stores;  // what stores() must count
  int forced;  // and forced()
};

void PrintTo(const StoreCase& c, std::ostream* os) { *os << c.name; }

void byteStore(char* at, uint8_t fill) {
  *reinterpret_cast<volatile uint8_t*>(at) = fill;
}

void wordStore(char* at, uint8_t fill) {
  *reinterpret_cast<volatile u32*>(at) = 0x01010101u * fill;
}

// One 64-bit store at any alignment, written out so that the compiler can
// neither split it nor object to it.
void storeQuad(char* at, u64 value) {
  asm volatile("movq %1, (%0)" : : "r"(at), "r"(value) : "memory");
}

void quadStore(char* at, uint8_t fill) {
  storeQuad(at, 0x0101010101010101ull * fill);
}

void streamingQuadStore(char* at, uint8_t fill) {
  _mm_stream_si64(reinterpret_cast<long long*>(at),
                  static_cast<long long>(0x0101010101010101ull * fill));
  _mm_sfence();
}

void vectorStore(char* at, uint8_t fill) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(at),
                   _mm_set1_epi8(static_cast<char>(fill)));
}

void streamingVectorStore(char* at, uint8_t fill) {
  _mm_stream_si128(reinterpret_cast<__m128i*>(at),
                   _mm_set1_epi8(static_cast<char>(fill)));
  _mm_sfence();
}

// One byte a step: each of the word's four bytes is a store of its own.
void repeatedByteStore(char* at, uint8_t fill) {
  u64 count = 8;
  asm volatile("rep stosb" : "+D"(at), "+c"(count) : "a"(fill) : "memory");
}

class StoreKindTest : public ::testing::TestWithParam<StoreCase> {};

// Bit 0 of the word is held at 1; every store writes bytes with bit 0 clear.
TEST_P(StoreKindTest, EveryStoreThatReachesTheWordIsCountedAndForced) {
  const StoreCase& c = GetParam();
  BankPair banks(4 * kPageWords);
  u32* word = &banks.a()[kWord];
  char* start = reinterpret_cast<char*>(word) - c.below;
  StuckBit stuck(word, 0, true);
  EXPECT_EQ(*word, 1u) << "forced when made";

  c.store(start, 0xAA);

  EXPECT_EQ(*word, 0xAAAAAAABu);
  EXPECT_EQ(stuck.stores(), c.stores);
  EXPECT_EQ(stuck.forced(), c.forced);
  for (int i = 0; i < c.bytes; ++i) {
    if (start + i < reinterpret_cast<char*>(word) ||
        start + i >= reinterpret_cast<char*>(word + 1)) {
      EXPECT_EQ(static_cast<uint8_t>(start[i]), 0xAA) << "byte " << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Stores, StoreKindTest,
    ::testing::Values(
        StoreCase{"32-bit", wordStore, 0, 4, 1, 1},
        StoreCase{"64-bit from 4 bytes below", quadStore, 4, 8, 1, 1},
        StoreCase{"streaming 64-bit", streamingQuadStore, 0, 8, 1, 1},
        StoreCase{"128-bit from 12 bytes below", vectorStore, 12, 16, 1, 1},
        StoreCase{"streaming 128-bit", streamingVectorStore, 0, 16, 1, 1},
        // Bit 0 is in the first byte: only its step is forced.
        StoreCase{"rep stosb over 8 bytes from 2 below", repeatedByteStore, 2,
                  8, 4, 1}),
    [](const ::testing::TestParamInfo<StoreCase>& param) {
      std::string name;
      for (const char* p = param.param.name; *p != '\0'; ++p) {
        name += isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
      }
      return name;
    });

TEST(StuckBitTest, TheOtherBytesOfAWordAreStoresToItToo) {
  BankPair banks(4 * kPageWords);
  u32* word = &banks.a()[kWord];
  StuckBit stuck(word, 31, false);
  char* bytes = reinterpret_cast<char*>(word);
  byteStore(bytes + 3, 0xFF);
  byteStore(bytes + 1, 0x22);
  EXPECT_EQ(*word, 0x7F002200u);
  EXPECT_EQ(stuck.stores(), 2);
  EXPECT_EQ(stuck.forced(), 1);
}

// A store of the value the word already holds is a store all the same, and
// one that ends just below the word is not.
TEST(StuckBitTest, StoresAreToldByWhereTheyLandNotByWhatChanged) {
  BankPair banks(4 * kPageWords);
  u32* word = &banks.a()[kWord];
  StuckBit stuck(word, 4, true);
  const u32 held = *word;
  u64 pair;
  memcpy(&pair, word - 1, sizeof pair);
  quadStore(reinterpret_cast<char*>(word) - 4, 0);     // changes the word
  storeQuad(reinterpret_cast<char*>(word - 1), pair);  // the same again
  EXPECT_EQ(*word, held);
  vectorStore(reinterpret_cast<char*>(word) - 16, 0x55);  // ends below it
  wordStore(reinterpret_cast<char*>(word + 1), 0x66);     // starts above it
  EXPECT_EQ(stuck.stores(), 2);
  EXPECT_EQ(stuck.forced(), 1);
  EXPECT_EQ(word[-1], 0x55555555u);
  EXPECT_EQ(word[1], 0x66666666u);
}

TEST(StuckBitTest, StoresToNeighboursOnThePageAreLeftAlone) {
  BankPair banks(4 * kPageWords);
  u32* word = &banks.a()[kWord];
  StuckBit stuck(word, 3, true);
  for (u64 i = kPageWords; i < 2 * kPageWords; ++i) {
    if (i != kWord) banks.a()[i] = 0;
  }
  EXPECT_EQ(stuck.stores(), 0);
  for (u64 i = kPageWords; i < 2 * kPageWords; ++i) {
    ASSERT_EQ(banks.a()[i], i == kWord ? 8u : 0u) << i;
  }
}

// A store that begins on the page below reaches the held word at the start
// of the next page.
TEST(StuckBitTest, AStoreAcrossAPageBoundaryIsCaught) {
  BankPair banks(4 * kPageWords);
  u32* word = &banks.a()[2 * kPageWords];
  StuckBit stuck(word, 0, true);
  quadStore(reinterpret_cast<char*>(word) - 4, 0x10);
  EXPECT_EQ(*word, 0x10101011u);
  EXPECT_EQ(word[-1], 0x10101010u);
  EXPECT_EQ(stuck.stores(), 1);
}

// No limit on how many bits are held, on one page or on many; a bit that is
// freed stops being forced, and its page is writable again.
TEST(StuckBitTest, ManyBitsAtOnceEachForcedOnItsOwn) {
  constexpr u64 kWords = 16 * kPageWords;
  BankPair banks(kWords);
  std::vector<std::unique_ptr<StuckBit>> stuck;
  std::vector<u64> at;
  for (u64 i = 7; i < kWords; i += 997) at.push_back(i);  // 17 bits, 1 a page
  at.push_back(8);  // a second bit on the first page
  for (u64 i : at) {
    stuck.push_back(std::make_unique<StuckBit>(&banks.a()[i], i % 32, true));
  }
  // One 32-bit store a word (memset would store a byte a step).
  volatile u32* words = banks.a();
  for (u64 i = 0; i < kWords; ++i) words[i] = 0;
  for (size_t n = 0; n < at.size(); ++n) {
    EXPECT_EQ(banks.a()[at[n]], 1u << (at[n] % 32)) << at[n];
    EXPECT_EQ(stuck[n]->stores(), 1) << at[n];
  }
  stuck.clear();
  for (u64 i = 0; i < kWords; ++i) words[i] = 0;
  for (u64 i : at) EXPECT_EQ(banks.a()[i], 0u) << i;
}

// Handlers that were there before: each sees its own signals, as if no bit
// were held.
siginfo_t earlierSaw;
int earlierCalls;
void* foreignPage;

void earlierHandler(int, siginfo_t* info, void*) {
  earlierSaw = *info;
  ++earlierCalls;
  // Lets the faulting store go through when it runs again.
  if (info->si_signo == SIGSEGV) {
    mprotect(foreignPage, 4096, PROT_READ | PROT_WRITE);
  }
}

TEST(StuckBitTest, SignalsThatAreNotOursGoToTheHandlerBefore) {
  struct sigaction earlier = {};
  earlier.sa_sigaction = earlierHandler;
  earlier.sa_flags = SA_SIGINFO;
  struct sigaction savedSegv;
  struct sigaction savedTrap;
  sigaction(SIGSEGV, &earlier, &savedSegv);
  sigaction(SIGTRAP, &earlier, &savedTrap);
  BankPair banks(4 * kPageWords);
  foreignPage =
      mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(foreignPage, MAP_FAILED);
  earlierCalls = 0;
  {
    StuckBit stuck(&banks.a()[kWord], 0, true);
    *static_cast<volatile u32*>(foreignPage) = 5;
    EXPECT_EQ(earlierCalls, 1);
    EXPECT_EQ(earlierSaw.si_signo, SIGSEGV);
    EXPECT_EQ(earlierSaw.si_addr, foreignPage);
    raise(SIGTRAP);
    EXPECT_EQ(earlierCalls, 2);
    EXPECT_EQ(earlierSaw.si_signo, SIGTRAP);
    EXPECT_EQ(stuck.stores(), 0);
  }
  EXPECT_EQ(*static_cast<u32*>(foreignPage), 5u);
  // Once no bit is held, the earlier handlers are in place again.
  struct sigaction now;
  sigaction(SIGSEGV, nullptr, &now);
  EXPECT_EQ(now.sa_sigaction, earlierHandler);
  sigaction(SIGSEGV, &savedSegv, nullptr);
  sigaction(SIGTRAP, &savedTrap, nullptr);
  munmap(foreignPage, 4096);
}

__attribute__((target("avx"))) void avxStore(char* at, uint8_t fill) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(at),
                      _mm256_set1_epi8(static_cast<char>(fill)));
}

TEST(StuckBitTest, AvxStoresAreCaught) {
  if (!__builtin_cpu_supports("avx")) GTEST_SKIP() << "the CPU has no AVX";
  BankPair banks(4 * kPageWords);
  u32* word = &banks.a()[kWord];
  StuckBit stuck(word, 0, true);
  avxStore(reinterpret_cast<char*>(word) - 20, 0xAA);
  EXPECT_EQ(*word, 0xAAAAAAABu);
  EXPECT_EQ(word[2], 0xAAAAAAAAu);
  EXPECT_EQ(stuck.stores(), 1);
}

// The two fault models built on the same stepping: a bridge between two
// lines and a coupling from one word to another.
TEST(StuckBitTest, BridgedLinesReadTheirAndAndACouplingFollowsARise) {
  BankPair banks(4 * kPageWords);
  u32* word = &banks.a()[kWord];
  {
    BridgedBits bridge(word, 6);
    struct Case {
      u32 stored;
      u32 read;
    };
    const Case cases[] = {{0x40, 0}, {0x80, 0}, {0xC0, 0xC0}, {0x13F, 0x13F}};
    for (const Case& c : cases) {
      *reinterpret_cast<volatile u32*>(word) = c.stored;
      EXPECT_EQ(*word, c.read) << std::hex << c.stored;
    }
    EXPECT_EQ(bridge.stores(), 4);
  }
  u32* victim = &banks.b()[kWord];
  *victim = 0;
  *word = 0;
  CoupledBit coupling(word, victim, 4, true);
  volatile u32* aggressor = word;
  *aggressor = 0x00;
  *aggressor = 0x10;  // a rise: the victim's bit goes to 1
  EXPECT_EQ(*victim, 0x10u);
  *victim = 0;
  *aggressor = 0x30;  // no rise of bit 4: the victim is left alone
  *aggressor = 0x00;
  EXPECT_EQ(*victim, 0u);
  EXPECT_EQ(coupling.stores(), 4);
  EXPECT_EQ(coupling.forced(), 1);
}

}  // namespace
