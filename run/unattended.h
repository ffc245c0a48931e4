// What an unattended run adds to start-up (which reads the cellcheck.*
// options and the machine's identity into the run's facts): the serial port
// when event lines are asked for, and, when events are to be sent to a
// collector, the network drivers and a DHCP lease; all before the memory is
// measured, since the first process cannot fork once the test area is
// taken.
#ifndef CELLCHECK_RUN_UNATTENDED_H_
#define CELLCHECK_RUN_UNATTENDED_H_

#include <memory>
#include <string>

#include "modules/module_loader.h"
#include "net/dhcp_client.h"
#include "options/run_options.h"
#include "seam/devices.h"
#include "seam/files.h"
#include "seam/system.h"

class Unattended {
 public:
  // `moduleRoot`: the image's /lib/modules.
  Unattended(KernelFiles& files, KernelSystem& system, KernelDevices& devices,
             DhcpClient& dhcp, std::string moduleRoot);

  // Before the kernel is tuned, with the options start-up read: with event
  // lines asked for, opens the serial port (a line when it cannot); with
  // events for a collector, loads the network drivers and waits (at most
  // leaseWaitSeconds) for a lease. Prints nothing without options.
  void prepare(const RunOptions& options);

  // How long start-up waits for the first lease; the run goes on without
  // one, and events wait for it.
  int leaseWaitSeconds = 60;
  // One short pause while waiting.
  static constexpr unsigned kPauseMilliseconds = 100;
  // The first serial port, which takes the event lines.
  std::string serialDevice = "/dev/ttyS0";

  ModuleLoadResult drivers;
  bool haveLease = false;
  Lease lease;
  // Open when event lines are asked for and the port opened.
  std::unique_ptr<SerialLine> serialPort;

 private:
  void openSerialPort();
  void loadNetworkDrivers();
  void waitForLease(const RunOptions& options);

  KernelFiles& files_;
  KernelSystem& system_;
  KernelDevices& devices_;
  DhcpClient& dhcp_;
  std::string moduleRoot_;
};

#endif  // CELLCHECK_RUN_UNATTENDED_H_
