// What an unattended run adds to start-up: the cellcheck.* options of the
// kernel command line, the machine's identity, the serial port when event
// lines are asked for, and, when events are to be sent to a collector, the
// network drivers and a DHCP lease; all before the memory is measured,
// since the first process cannot fork once the test area is taken. Every boot
// also drops the image's module files (and the DHCP client when no network is
// asked for) from memory, where they would cost test area.
#ifndef CELLCHECK_RUN_UNATTENDED_H_
#define CELLCHECK_RUN_UNATTENDED_H_

#include <memory>
#include <string>

#include "identity/machine_identity.h"
#include "modules/module_loader.h"
#include "net/dhcp_client.h"
#include "options/run_options.h"
#include "seam/devices.h"
#include "seam/files.h"
#include "seam/system.h"

class Unattended {
 public:
  // `moduleRoot`: the image's /lib/modules; `busybox`: the DHCP client's
  // binary.
  Unattended(KernelFiles& files, KernelSystem& system, KernelDevices& devices,
             DhcpClient& dhcp, std::string moduleRoot, std::string busybox);

  // After /proc is mounted: reads the options (a line for each one ignored)
  // and, when there are any, mounts /sys and prints the machine's identity
  // and what the options ask for. Prints nothing without options.
  void readOptions();
  // Before the kernel is tuned: with event lines asked for, opens the
  // serial port (a line when it cannot); with events for a collector,
  // loads the network drivers and waits (at most leaseWaitSeconds) for a
  // lease. Prints nothing without options.
  void prepare();
  // Once the kernel is tuned, before the memory is measured: removes the
  // module files (and the DHCP client when it is not needed), when they are
  // the image's own. With the small free reserve in force, the pages they
  // held go straight back to the free memory that the measurement starts
  // from, instead of waiting in the kernel's per-CPU lists. Silent.
  void dropImageFiles();

  // How long start-up waits for the first lease; the run goes on without
  // one, and events wait for it.
  int leaseWaitSeconds = 60;
  // One short pause while waiting.
  static constexpr unsigned kPauseMilliseconds = 100;
  // The first serial port, which takes the event lines.
  std::string serialDevice = "/dev/ttyS0";

  RunOptions options;
  MachineIdentity identity;
  ModuleLoadResult drivers;
  bool haveLease = false;
  Lease lease;
  // Open when event lines are asked for and the port opened.
  std::unique_ptr<SerialLine> serialPort;

 private:
  void openSerialPort();
  void loadNetworkDrivers();
  void waitForLease();

  KernelFiles& files_;
  KernelSystem& system_;
  KernelDevices& devices_;
  DhcpClient& dhcp_;
  std::string moduleRoot_;
  std::string busybox_;
};

#endif  // CELLCHECK_RUN_UNATTENDED_H_
