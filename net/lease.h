// A DHCP lease as the DHCP client (busybox's udhcpc) hands it to its event
// script, in environment variables, and as the script keeps it for the
// first process: one file per interface in a folder of the image, a
// "name=value" line per field.
#ifndef CELLCHECK_NET_LEASE_H_
#define CELLCHECK_NET_LEASE_H_

#include <cstdint>
#include <functional>
#include <string>

struct Lease {
  std::string interface;
  std::string address;    // ours, dotted IPv4
  std::string netmask;    // dotted; empty when the server gave none
  std::string broadcast;  // dotted; may be empty
  std::string router;     // the first router; may be empty
  std::string logServer;  // the first log server (option 7); may be empty
  uint64_t seconds = 0;   // the lease time
};

// The environment variable through which the first process tells the event
// script where the lease files go. The script does nothing without it.
constexpr char kLeaseFolderVariable[] = "CELLCHECK_LEASE_FOLDER";

// The lease in udhcpc's variables (interface, ip, subnet, broadcast, router,
// lease, and the log servers as logsrv or, where udhcpc has no name for
// option 7, as opt7 in hex), looked up with `get` (getenv in the script). False
// when the interface is missing or no name the kernel gives one (the lease
// file is named after it), or the address is none a host can take
// (base/host_address.h); a router or log server that names no host is left
// out.
bool leaseFromEnvironment(const std::function<const char*(const char*)>& get,
                          Lease* lease);

std::string leaseFileText(const Lease& lease);
// False when the text has no valid interface, or no address a host can take; a
// router or log server that names no host is left out.
bool parseLeaseFile(const std::string& text, Lease* lease);

// An interface name as the kernel allows one: 1 to 15 printable bytes, not
// "." or "..", no '/', ':' or blank. Lease files are named after it.
bool validInterface(const char* name);

// True for the events udhcpc runs its script with.
bool isLeaseEvent(const char* event);

#endif  // CELLCHECK_NET_LEASE_H_
