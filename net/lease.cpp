#include "net/lease.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace {

// The first of a blank-separated list ("10.0.0.1 10.0.0.2"), when it is an
// IPv4 address; else empty.
std::string firstAddress(const char* list) {
  if (list == nullptr) return std::string();
  std::istringstream in(list);
  std::string first;
  in >> first;
  in_addr parsed;
  return inet_pton(AF_INET, first.c_str(), &parsed) == 1 ? first
                                                         : std::string();
}

// Busybox's udhcpc knows no name for option 7: it hands it over as opt7,
// the addresses in hex ("C0000201" is 192.0.2.1). The first one, dotted.
std::string firstHexAddress(const char* hex) {
  if (hex == nullptr || strlen(hex) < 8) return std::string();
  unsigned bytes[4];
  for (int i = 0; i < 4; ++i) {
    char pair[3] = {hex[2 * i], hex[2 * i + 1], '\0'};
    char* end = nullptr;
    bytes[i] = static_cast<unsigned>(strtoul(pair, &end, 16));
    if (*end != '\0' || !isxdigit(static_cast<unsigned char>(pair[0]))) {
      return std::string();
    }
  }
  return std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." +
         std::to_string(bytes[2]) + "." + std::to_string(bytes[3]);
}

}  // namespace

bool leaseFromEnvironment(const std::function<const char*(const char*)>& get,
                          Lease* lease) {
  const char* interface = get("interface");
  if (interface == nullptr || interface[0] == '\0') return false;
  Lease got;
  got.interface = interface;
  got.address = firstAddress(get("ip"));
  if (got.address.empty()) return false;
  got.netmask = firstAddress(get("subnet"));
  got.broadcast = firstAddress(get("broadcast"));
  got.router = firstAddress(get("router"));
  got.logServer = firstAddress(get("logsrv"));
  if (got.logServer.empty()) got.logServer = firstHexAddress(get("opt7"));
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
  if (got.interface.empty() || got.address.empty()) return false;
  *lease = got;
  return true;
}

bool isLeaseEvent(const char* event) {
  for (const char* known : {"deconfig", "bound", "renew", "leasefail", "nak"}) {
    if (strcmp(event, known) == 0) return true;
  }
  return false;
}
