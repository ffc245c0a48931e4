// The network role on Linux: an interface's addresses and default route,
// set with the socket ioctls, and the UDP sink that carries the events.
#include <arpa/inet.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/linux_kernel.h"

namespace {

// Network interface requests.
ifreq requestFor(const std::string& interface) {
  ifreq request{};
  strncpy(request.ifr_name, interface.c_str(), IFNAMSIZ - 1);
  return request;
}

void setAddress(ifreq* request, const std::string& dotted) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  inet_pton(AF_INET, dotted.c_str(), &address.sin_addr);
  memcpy(&request->ifr_addr, &address, sizeof address);
}

bool bringUp(int sock, const std::string& interface) {
  ifreq request = requestFor(interface);
  if (ioctl(sock, SIOCGIFFLAGS, &request) != 0) return false;
  request.ifr_flags |= IFF_UP | IFF_RUNNING;
  return ioctl(sock, SIOCSIFFLAGS, &request) == 0;
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

bool setInterfaceAddress(int sock, const std::string& interface,
                         unsigned long which, const std::string& dotted) {
  ifreq request = requestFor(interface);
  setAddress(&request, dotted);
  return ioctl(sock, which, &request) == 0;
}

}  // namespace

bool LinuxKernel::configureInterface(const InterfaceSetup& setup) {
  const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return false;
  bool done = true;
  if (currentAddress(sock, setup.interface) != setup.address) {
    done &=
        setInterfaceAddress(sock, setup.interface, SIOCSIFADDR, setup.address);
  }
  if (!setup.netmask.empty()) {
    done &= setInterfaceAddress(sock, setup.interface, SIOCSIFNETMASK,
                                setup.netmask);
  }
  if (!setup.broadcast.empty()) {
    done &= setInterfaceAddress(sock, setup.interface, SIOCSIFBRDADDR,
                                setup.broadcast);
  }
  done &= bringUp(sock, setup.interface);
  if (!setup.router.empty()) {
    // A collector beyond the local network is reached through the router.
    // A renewal finds the route there already (EEXIST), which is fine.
    rtentry route{};
    sockaddr_in* any = reinterpret_cast<sockaddr_in*>(&route.rt_dst);
    any->sin_family = AF_INET;
    reinterpret_cast<sockaddr_in*>(&route.rt_genmask)->sin_family = AF_INET;
    sockaddr_in* gateway = reinterpret_cast<sockaddr_in*>(&route.rt_gateway);
    gateway->sin_family = AF_INET;
    inet_pton(AF_INET, setup.router.c_str(), &gateway->sin_addr);
    route.rt_flags = RTF_UP | RTF_GATEWAY;
    char device[IFNAMSIZ] = {};
    strncpy(device, setup.interface.c_str(), IFNAMSIZ - 1);
    route.rt_dev = device;
    done &= ioctl(sock, SIOCADDRT, &route) == 0 || errno == EEXIST;
  }
  close(sock);
  return done;
}

bool LinuxKernel::clearInterface(const std::string& interface) {
  const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return false;
  bool done = setInterfaceAddress(sock, interface, SIOCSIFADDR, "0.0.0.0");
  done &= bringUp(sock, interface);
  close(sock);
  return done;
}

std::unique_ptr<DatagramSink> LinuxKernel::udpSink(const std::string& address,
                                                   uint16_t port) {
  return std::unique_ptr<DatagramSink>(new UdpSink(address, port));
}

UdpSink::UdpSink(const std::string& address, uint16_t port)
    : socket_(socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)),
      valid_(false),
      address_(0),
      port_(htons(port)) {
  in_addr parsed;
  if (inet_pton(AF_INET, address.c_str(), &parsed) == 1) {
    address_ = parsed.s_addr;
    valid_ = true;
  }
}

UdpSink::~UdpSink() {
  if (socket_ >= 0) close(socket_);
}

bool UdpSink::send(const std::string& datagram) {
  if (!ready()) return false;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = port_;
  to.sin_addr.s_addr = address_;
  const ssize_t sent =
      sendto(socket_, datagram.data(), datagram.size(), MSG_DONTWAIT,
             reinterpret_cast<const sockaddr*>(&to), sizeof to);
  return sent == static_cast<ssize_t>(datagram.size());
}
