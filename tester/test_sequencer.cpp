// One test per call, from a fixed rotation, for a driver that wants a fixed
// mix of tests.
#include "tester/cellchecker.h"

namespace {

// f random bank, a copy A, b copy B, r repeating pattern over both banks,
// d decay. The terminating zero is a position of the rotation too: the call
// that reads it runs nothing, so a cycle is 41 calls.
constexpr char testOrder[] = "fababrrrrrrddddddddddddddddddddddddddddd";
static_assert(sizeof testOrder == 41, "40 letters and the zero");

}  // namespace

void Cellchecker::multiTestDispatch() {
  // One cursor for the whole program, never reset; it moves on before the
  // test runs.
  static int i = 0;
  int p = i;
  if (p == static_cast<int>(sizeof testOrder)) p = 0;
  i = p + 1;

  switch (testOrder[p]) {
    case 'f':
      runTestBanksAllRand();
      break;
    case 'a':
      runCopyTest();
      break;
    case 'b':
      runCopyTestB();
      break;
    case 'r':
      runTestBanksRepRand(2);
      break;
    case 'd':
      runDecayTest();
      break;
    default:
      break;
  }
}
