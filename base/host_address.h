// Whether an IPv4 address names one host: one a machine can take as its own
// and send its events to. Leases and options come from outside, and an
// address such as 127.0.0.1 or 255.255.255.255 would take events nowhere
// while they count as sent.
#ifndef CELLCHECK_BASE_HOST_ADDRESS_H_
#define CELLCHECK_BASE_HOST_ADDRESS_H_

#include <arpa/inet.h>

#include <cstdint>
#include <string>

// True for a dotted IPv4 address outside "this network" (0.0.0.0/8),
// loopback (127.0.0.0/8), multicast (224.0.0.0/4) and the reserved block
// above it (240.0.0.0/4, which holds the broadcast address 255.255.255.255).
// Nothing may follow the address: not even bytes behind a NUL, which the
// C library would not see.
inline bool isHostAddress(const std::string& dotted) {
  in_addr parsed;
  if (dotted.find('\0') != std::string::npos ||
      inet_pton(AF_INET, dotted.c_str(), &parsed) != 1) {
    return false;
  }
  const uint32_t first = ntohl(parsed.s_addr) >> 24;
  return first != 0 && first != 127 && first < 224;
}

#endif  // CELLCHECK_BASE_HOST_ADDRESS_H_
