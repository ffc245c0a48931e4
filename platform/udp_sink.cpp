#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/linux_kernel.h"

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
