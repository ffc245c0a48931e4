// The answer to udhcpc's event script: the image has no shell, so the DHCP
// client runs Cellcheck's own binary with the event's name. It sets up the
// interface as the lease says and keeps the lease in a file for the first
// process.
#ifndef CELLCHECK_NET_LEASE_SCRIPT_H_
#define CELLCHECK_NET_LEASE_SCRIPT_H_

#include <sys/types.h>

#include <functional>

#include "seam/files.h"
#include "seam/network.h"
#include "seam/system.h"

// True when this process was started as udhcpc's event script: not the
// first process, one argument, a lease event, and in the environment the
// lease folder (set by the first process for its DHCP client only, so that
// the binary run from a shell by mistake never touches a network interface)
// and the interface udhcpc names for every event. The first process is
// never the script, whatever its arguments and environment: the kernel
// hands bare words of its command line to init as arguments and NAME=VALUE
// words as its environment, and the first process that took itself for the
// script would return, and take the kernel down.
bool startedAsLeaseScript(KernelSystem& system, int argc, char** argv);
// The same for process `pid`, its environment read with `get`.
bool startedAsLeaseScript(pid_t pid, int argc, char** argv,
                          const std::function<const char*(const char*)>& get);

// Handles one event and returns the exit status: deconfig brings the
// interface up without an address and forgets its lease; bound and renew
// give it the address, netmask, broadcast address and default route of the
// lease and write the lease file (in `files`); leasefail and nak change
// nothing.
int runLeaseScript(NetworkInterfaces& network, KernelFiles& files,
                   const char* event);

#endif  // CELLCHECK_NET_LEASE_SCRIPT_H_
