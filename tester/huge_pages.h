// Transparent huge pages for the test area. The random-access tests touch
// scattered words across whole banks; with 4 KiB pages nearly every access
// misses the TLB, with 2 MiB pages far fewer do.
#ifndef CELLCHECK_TESTER_HUGE_PAGES_H_
#define CELLCHECK_TESTER_HUGE_PAGES_H_

#include <cstdint>

// Asks the kernel to back the whole pages inside [begin, begin + bytes) with
// huge pages where it can. Only a hint: a kernel without them, or a range
// that holds no whole page, leaves everything as it was. Best given before
// the memory is first touched.
void adviseHugePages(void* begin, uint64_t bytes);

#endif  // CELLCHECK_TESTER_HUGE_PAGES_H_
