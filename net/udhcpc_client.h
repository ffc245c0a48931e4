// The DHCP client of the image: busybox's udhcpc (from Debian's
// busybox-static), one per interface, each a child of the first process,
// asking for the log server too (option 7). udhcpc renews the lease for as
// long as the run lasts and runs the image's own binary as its event script
// (net/lease_script.h), which leaves the lease in a file here.
#ifndef CELLCHECK_NET_UDHCPC_CLIENT_H_
#define CELLCHECK_NET_UDHCPC_CLIENT_H_

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include "net/dhcp_client.h"
#include "seam/files.h"
#include "seam/system.h"

class UdhcpcClient : public DhcpClient {
 public:
  // `busybox`: the binary; `script`: what udhcpc runs on each lease event;
  // `leaseFolder`: where the script leaves the leases (made if missing).
  UdhcpcClient(KernelFiles& files, KernelSystem& system, std::string busybox,
               std::string script, std::string leaseFolder);

  std::vector<std::string> start() override;
  bool lease(Lease* lease) override;

 private:
  // The network interfaces but loopback, in name order.
  std::vector<std::string> interfaces();

  KernelFiles& files_;
  KernelSystem& system_;
  std::string busybox_;
  std::string script_;
  std::string leaseFolder_;
  std::vector<std::pair<std::string, pid_t>> clients_;
  std::string chosen_;
};

#endif  // CELLCHECK_NET_UDHCPC_CLIENT_H_
