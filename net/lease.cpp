#include "net/lease.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "base/host_address.h"

namespace {

// The first host address of a blank-separated list ("10.0.0.1 10.0.0.2");
// empty when it has none. An address that names no host (0.0.0.0,
// loopback, multicast, broadcast) is never ours, a router or a collector.
std::string firstHostAddress(const char* list) {
  if (list == nullptr) return std::string();
  std::istringstream in(list);
  for (std::string address; in >> address;) {
    if (isHostAddress(address)) return address;
  }
  return std::string();
}

// Busybox's udhcpc knows no name for option 7: it hands it over as opt7,
// the addresses in hex, eight digits each ("C0000201" is 192.0.2.1). The
// first host address among them, dotted.
std::string firstHostHexAddress(const char* hex) {
  if (hex == nullptr) return std::string();
  const size_t length = strlen(hex);
  for (size_t at = 0; at + 8 <= length; at += 8) {
    unsigned bytes[4];
    bool valid = true;
    for (int i = 0; i < 4; ++i) {
      const char pair[3] = {hex[at + 2 * i], hex[at + 2 * i + 1], '\0'};
      char* end = nullptr;
      bytes[i] = static_cast<unsigned>(strtoul(pair, &end, 16));
      valid = valid && *end == '\0' &&
              isxdigit(static_cast<unsigned char>(pair[0]));
    }
    if (!valid) return std::string();
    const std::string dotted =
        std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." +
        std::to_string(bytes[2]) + "." + std::to_string(bytes[3]);
    if (isHostAddress(dotted)) return dotted;
  }
  return std::string();
}

// The first address of a blank-separated list, when it is an IPv4 address
// (a netmask or broadcast address, which names no host); else empty.
std::string firstAddress(const char* list) {
  if (list == nullptr) return std::string();
  std::istringstream in(list);
  std::string first;
  in >> first;
  in_addr parsed;
  return inet_pton(AF_INET, first.c_str(), &parsed) == 1 ? first
                                                         : std::string();
}

}  // namespace

// An interface name as the kernel allows one (dev_valid_name): 1 to 15
// bytes, not "." or "..", no '/', ':' or blank; and printable. The script
// names the lease file after it, and the first process prints it.
bool validInterface(const char* name) {
  if (name == nullptr) return false;
  const size_t length = strlen(name);
  if (length == 0 || length > 15 || strcmp(name, ".") == 0 ||
      strcmp(name, "..") == 0) {
    return false;
  }
  for (const char* c = name; *c != '\0'; ++c) {
    if (*c <= ' ' || *c > '~' || *c == '/' || *c == ':') return false;
  }
  return true;
}

bool leaseFromEnvironment(const std::function<const char*(const char*)>& get,
                          Lease* lease) {
  const char* interface = get("interface");
  if (!validInterface(interface)) return false;
  Lease got;
  got.interface = interface;
  got.address = firstAddress(get("ip"));
  if (!isHostAddress(got.address)) return false;
  got.netmask = firstAddress(get("subnet"));
  got.broadcast = firstAddress(get("broadcast"));
  got.router = firstHostAddress(get("router"));
  got.logServer = firstHostAddress(get("logsrv"));
  if (got.logServer.empty()) got.logServer = firstHostHexAddress(get("opt7"));
  const char* seconds = get("lease");
  if (seconds != nullptr) got.seconds = strtoull(seconds, nullptr, 10);
  *lease = got;
  return true;
}

std::string leaseFileText(const Lease& lease) {
  return "interface=" + lease.interface + "\naddress=" + lease.address +
         "\nnetmask=" + lease.netmask + "\nbroadcast=" + lease.broadcast +
         "\nrouter=" + lease.router + "\nlogserver=" + lease.logServer +
         "\nseconds=" + std::to_string(lease.seconds) + "\n";
}

bool parseLeaseFile(const std::string& text, Lease* lease) {
  Lease got;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    const size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string name = line.substr(0, equals);
    const std::string value = line.substr(equals + 1);
    if (name == "interface") got.interface = value;
    if (name == "address") got.address = value;
    if (name == "netmask") got.netmask = value;
    if (name == "broadcast") got.broadcast = value;
    if (name == "router") got.router = value;
    if (name == "logserver") got.logServer = value;
    if (name == "seconds") got.seconds = strtoull(value.c_str(), nullptr, 10);
  }
  if (!validInterface(got.interface.c_str()) ||
      got.interface.size() != strlen(got.interface.c_str()) ||
      !isHostAddress(got.address)) {
    return false;
  }
  if (!isHostAddress(got.router)) got.router.clear();
  if (!isHostAddress(got.logServer)) got.logServer.clear();
  *lease = got;
  return true;
}

bool isLeaseEvent(const char* event) {
  for (const char* known : {"deconfig", "bound", "renew", "leasefail", "nak"}) {
    if (strcmp(event, known) == 0) return true;
  }
  return false;
}
