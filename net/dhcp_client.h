// The network's side of the seam: a DHCP client that runs beside the
// tests and keeps the lease, and what start-up and the run ask of it. The
// program runs busybox's udhcpc; tests use a fake.
#ifndef CELLCHECK_NET_DHCP_CLIENT_H_
#define CELLCHECK_NET_DHCP_CLIENT_H_

#include <string>
#include <vector>

#include "net/lease.h"

class DhcpClient {
 public:
  virtual ~DhcpClient() = default;
  // Starts asking for a lease on every network interface but loopback, and
  // returns their names (none: no interface, or the client would not
  // start). Must run before the test area is taken: it forks.
  virtual std::vector<std::string> start() = 0;
  // The lease of the first interface that got one (from then on, only that
  // interface counts); false while it has none. Cheap: called between tests.
  virtual bool lease(Lease* lease) = 0;
};

#endif  // CELLCHECK_NET_DHCP_CLIENT_H_
