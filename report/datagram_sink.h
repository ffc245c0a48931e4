// Where events go: one datagram at a time, never waiting. The program sends
// to a syslog collector over UDP; tests send to sockets of their own.
#ifndef CELLCHECK_REPORT_DATAGRAM_SINK_H_
#define CELLCHECK_REPORT_DATAGRAM_SINK_H_

#include <cstdint>
#include <string>

class DatagramSink {
 public:
  virtual ~DatagramSink() = default;
  // Hands the datagram to the network; false when it could not be (no
  // route, no buffer space, no interface). Never blocks and never retries.
  virtual bool send(const std::string& datagram) = 0;
};

// UDP to one IPv4 address and port.
class UdpSink : public DatagramSink {
 public:
  UdpSink(const std::string& address, uint16_t port);
  ~UdpSink() override;
  UdpSink(const UdpSink&) = delete;
  UdpSink& operator=(const UdpSink&) = delete;

  // False when the address does not parse or no socket could be made; then
  // every send fails.
  bool ready() const { return socket_ >= 0 && valid_; }
  bool send(const std::string& datagram) override;

 private:
  int socket_;
  bool valid_;
  uint32_t address_;  // network byte order
  uint16_t port_;     // network byte order
};

#endif  // CELLCHECK_REPORT_DATAGRAM_SINK_H_
