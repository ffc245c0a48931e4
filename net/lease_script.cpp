#include "net/lease_script.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <net/route.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "net/lease.h"

namespace {

void setAddress(ifreq* request, const std::string& dotted) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  inet_pton(AF_INET, dotted.c_str(), &address.sin_addr);
  memcpy(&request->ifr_addr, &address, sizeof address);
}

ifreq requestFor(const std::string& interface) {
  ifreq request{};
  strncpy(request.ifr_name, interface.c_str(), IFNAMSIZ - 1);
  return request;
}

void bringUp(int sock, const std::string& interface) {
  ifreq request = requestFor(interface);
  if (ioctl(sock, SIOCGIFFLAGS, &request) == 0) {
    request.ifr_flags |= IFF_UP | IFF_RUNNING;
    ioctl(sock, SIOCSIFFLAGS, &request);
  }
}

// The interface's address now, dotted; empty when it has none.
std::string currentAddress(int sock, const std::string& interface) {
  ifreq request = requestFor(interface);
  if (ioctl(sock, SIOCGIFADDR, &request) != 0) return std::string();
  char text[INET_ADDRSTRLEN];
  const sockaddr_in* address =
      reinterpret_cast<const sockaddr_in*>(&request.ifr_addr);
  return inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) ? text : "";
}

void configure(int sock, const Lease& lease) {
  if (currentAddress(sock, lease.interface) != lease.address) {
    ifreq request = requestFor(lease.interface);
    setAddress(&request, lease.address);
    ioctl(sock, SIOCSIFADDR, &request);
  }
  if (!lease.netmask.empty()) {
    ifreq request = requestFor(lease.interface);
    setAddress(&request, lease.netmask);
    ioctl(sock, SIOCSIFNETMASK, &request);
  }
  if (!lease.broadcast.empty()) {
    ifreq request = requestFor(lease.interface);
    setAddress(&request, lease.broadcast);
    ioctl(sock, SIOCSIFBRDADDR, &request);
  }
  bringUp(sock, lease.interface);
  if (!lease.router.empty()) {
    // A collector beyond the local network is reached through the router.
    // A renewal finds the route there already (EEXIST), which is fine.
    rtentry route{};
    sockaddr_in* any = reinterpret_cast<sockaddr_in*>(&route.rt_dst);
    any->sin_family = AF_INET;
    reinterpret_cast<sockaddr_in*>(&route.rt_genmask)->sin_family = AF_INET;
    sockaddr_in* gateway = reinterpret_cast<sockaddr_in*>(&route.rt_gateway);
    gateway->sin_family = AF_INET;
    inet_pton(AF_INET, lease.router.c_str(), &gateway->sin_addr);
    route.rt_flags = RTF_UP | RTF_GATEWAY;
    char device[IFNAMSIZ] = {};
    strncpy(device, lease.interface.c_str(), IFNAMSIZ - 1);
    route.rt_dev = device;
    ioctl(sock, SIOCADDRT, &route);
  }
}

// Written to a new file, then renamed over the old one: the first process
// never reads half a lease.
void keepLease(const std::string& folder, const Lease& lease) {
  const std::string path = folder + "/" + lease.interface;
  const std::string fresh = path + ".new";
  FILE* file = fopen(fresh.c_str(), "w");
  if (file == nullptr) return;
  const std::string text = leaseFileText(lease);
  const bool written = fwrite(text.data(), 1, text.size(), file) == text.size();
  if (fclose(file) == 0 && written) rename(fresh.c_str(), path.c_str());
}

}  // namespace

bool startedAsLeaseScript(int argc, char** argv) {
  return startedAsLeaseScript(getpid(), argc, argv, getenv);
}

bool startedAsLeaseScript(pid_t pid, int argc, char** argv,
                          const std::function<const char*(const char*)>& get) {
  return pid != 1 && argc == 2 && isLeaseEvent(argv[1]) &&
         get(kLeaseFolderVariable) != nullptr && get("interface") != nullptr;
}

int runLeaseScript(const char* event) {
  const char* folder = getenv(kLeaseFolderVariable);
  const char* interface = getenv("interface");
  if (folder == nullptr || interface == nullptr) return 1;
  const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return 1;
  const std::string name = event;
  if (name == "deconfig") {
    ifreq request = requestFor(interface);
    setAddress(&request, "0.0.0.0");
    ioctl(sock, SIOCSIFADDR, &request);
    bringUp(sock, interface);
    remove((std::string(folder) + "/" + interface).c_str());
  } else if (name == "bound" || name == "renew") {
    Lease lease;
    if (leaseFromEnvironment(getenv, &lease)) {
      configure(sock, lease);
      keepLease(folder, lease);
    }
  }
  close(sock);
  return 0;
}
