// The answer to udhcpc's event script: the image has no shell, so the DHCP
// client runs Cellcheck's own binary with the event's name. It sets up the
// interface as the lease says and keeps the lease in a file for the first
// process.
#ifndef CELLCHECK_NET_LEASE_SCRIPT_H_
#define CELLCHECK_NET_LEASE_SCRIPT_H_

#include "seam/network.h"

// True when this process was started as udhcpc's event script: one
// argument, a lease event, and the lease folder in the environment (set by
// the first process for its DHCP client only, so that the binary run from a
// shell by mistake never touches a network interface).
bool startedAsLeaseScript(int argc, char** argv);

// Handles one event and returns the exit status: deconfig brings the
// interface up without an address and forgets its lease; bound and renew
// give it the address, netmask, broadcast address and default route of the
// lease and write the lease file; leasefail and nak change nothing.
int runLeaseScript(NetworkInterfaces& network, const char* event);

#endif  // CELLCHECK_NET_LEASE_SCRIPT_H_
