// The kernel seam, network role: an interface's addresses as a DHCP lease
// gives them (set by the DHCP client's event script), and the datagrams
// that carry a run's events. Finding the interfaces is a files-role read of
// /sys/class/net; the DHCP client runs as a child of the process role.
//
// Failure convention: false when the kernel refused; a sink that could not
// be made fails every send.
#ifndef CELLCHECK_SEAM_NETWORK_H_
#define CELLCHECK_SEAM_NETWORK_H_

#include <cstdint>
#include <memory>
#include <string>

// One interface's addresses, dotted IPv4; empty where a lease gave none.
struct InterfaceSetup {
  std::string interface;
  std::string address;
  std::string netmask;
  std::string broadcast;
  std::string router;  // the default route's gateway
};

// Where events go: one datagram at a time, never waiting.
class DatagramSink {
 public:
  virtual ~DatagramSink() = default;
  // Hands the datagram to the network; false when it could not be (no
  // route, no buffer space, no interface). Never blocks and never retries.
  virtual bool send(const std::string& datagram) = 0;
};

class NetworkInterfaces {
 public:
  virtual ~NetworkInterfaces() = default;

  // Gives the interface its address, netmask and broadcast address (those
  // the setup has), brings it up, and routes everything beyond the local
  // network through the router when there is one. A renewal that finds
  // them set already changes nothing.
  virtual bool configureInterface(const InterfaceSetup& setup) = 0;
  // Brings the interface up without an address.
  virtual bool clearInterface(const std::string& interface) = 0;
  // UDP to one IPv4 address and port.
  virtual std::unique_ptr<DatagramSink> udpSink(const std::string& address,
                                                uint16_t port) = 0;
};

#endif  // CELLCHECK_SEAM_NETWORK_H_
