// A DHCP client for tests: the interfaces it "starts" on and the lease it
// "gets", chosen by the test; nothing reaches a network.
#ifndef CELLCHECK_TESTS_SUPPORT_FAKE_DHCP_CLIENT_H_
#define CELLCHECK_TESTS_SUPPORT_FAKE_DHCP_CLIENT_H_

#include <string>
#include <vector>

#include "net/dhcp_client.h"

class FakeDhcpClient : public DhcpClient {
 public:
  std::vector<std::string> interfaces{"eth0"};
  bool hasLease = true;
  Lease given;
  // The lease comes only on this call of lease() (1: the first).
  int leaseFromCall = 1;

  int starts = 0;
  int calls = 0;

  std::vector<std::string> start() override {
    ++starts;
    return interfaces;
  }
  bool lease(Lease* lease) override {
    if (!hasLease || ++calls < leaseFromCall) return false;
    *lease = given;
    return true;
  }
};

#endif  // CELLCHECK_TESTS_SUPPORT_FAKE_DHCP_CLIENT_H_
