// What udhcpc hands its script, and the lease file the first process reads
// back: any variables, any values. The whole input is also read as a lease
// file.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "base/host_address.h"
#include "fuzz/fuzz_check.h"
#include "net/lease.h"

namespace {

// A lease the first process may use: an interface, and addresses that name
// hosts where they name one.
void checkLease(const Lease& lease) {
  FUZZ_CHECK(!lease.interface.empty());
  FUZZ_CHECK(isHostAddress(lease.address));
  FUZZ_CHECK(lease.router.empty() || isHostAddress(lease.router));
  FUZZ_CHECK(lease.logServer.empty() || isHostAddress(lease.logServer));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  // "name=value" entries cut at NUL bytes, as an environment: a value may
  // hold line feeds (DHCP options are any bytes).
  std::map<std::string, std::string> environment;
  for (int i = 0;; ++i) {
    const std::string line = field(input, '\0', i);
    if (line.empty() && field(input, '\0', i + 1).empty()) break;
    const size_t equals = line.find('=');
    if (equals != std::string::npos) {
      environment[line.substr(0, equals)] = line.substr(equals + 1);
    }
  }
  const auto get = [&](const char* name) -> const char* {
    const auto found = environment.find(name);
    return found == environment.end() ? nullptr : found->second.c_str();
  };
  Lease lease;
  if (leaseFromEnvironment(get, &lease)) {
    checkLease(lease);
    // The file the script writes reads back as the same lease.
    Lease read;
    FUZZ_CHECK(parseLeaseFile(leaseFileText(lease), &read));
    FUZZ_CHECK(leaseFileText(read) == leaseFileText(lease));
  }
  Lease fromFile;
  if (parseLeaseFile(input, &fromFile)) checkLease(fromFile);
  isLeaseEvent(input.c_str());
  return 0;
}
