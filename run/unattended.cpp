#include "run/unattended.h"

#include <cstring>
#include <utility>
#include <vector>

#include "base/cprintf.h"

namespace {

std::string joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names)
    text += (text.empty() ? "" : ", ") + name;
  return text;
}

}  // namespace

Unattended::Unattended(KernelFiles& files, KernelSystem& system,
                       KernelDevices& devices, DhcpClient& dhcp,
                       std::string moduleRoot)
    : files_(files),
      system_(system),
      devices_(devices),
      dhcp_(dhcp),
      moduleRoot_(std::move(moduleRoot)) {}

void Unattended::prepare(const RunOptions& options) {
  if (options.logSerial) openSerialPort();
  if (!options.syslog) return;
  loadNetworkDrivers();
  cprintf(
      "Module files (%.1f MiB) are dropped from memory before it is "
      "measured.\n",
      static_cast<double>(files_.fileBytes(moduleRoot_)) / kMiB);
  waitForLease(options);
}

void Unattended::openSerialPort() {
  // The image has no node for the port: the kernel's own device file
  // system has one for every device it knows.
  if (files_.isImageInit()) devices_.mountDevices();
  int error = 0;
  serialPort = devices_.openSerialPort(serialDevice, &error);
  if (serialPort == nullptr) {
    cprintf("The serial port %s would not open (%s): no event lines.\n",
            serialDevice.c_str(), strerror(error));
  }
}

void Unattended::loadNetworkDrivers() {
  // The memory controllers' drivers were tried on every boot already; the
  // image's other drivers are not for the network.
  const DriverLoad load =
      loadDrivers(files_, system_, moduleRoot_, isNetworkModule);
  if (!load.indexFound) {
    cprintf("The image holds no drivers for kernel %s: no network.\n",
            load.release.c_str());
    return;
  }
  drivers = load.result;
  for (const auto& failure : drivers.failed) {
    cprintf("Driver %s did not load: %s.\n", failure.first.c_str(),
            failure.second.c_str());
  }
  if (drivers.loaded.empty()) {
    cprintf("No driver in the image matched this machine's devices.\n");
  } else {
    cprintf("Drivers loaded: %s.\n", joined(drivers.loaded).c_str());
  }
  cprintf(
      "The image has Debian's own drivers but no firmware from its "
      "non-free-firmware\nsection: a network card that needs such firmware "
      "stays silent.\n");
}

void Unattended::waitForLease(const RunOptions& options) {
  const std::vector<std::string> interfaces = dhcp_.start();
  if (interfaces.empty()) {
    cprintf("No network interface: events cannot be sent.\n");
    return;
  }
  cprintf("Asking DHCP for a lease on %s (waiting at most %d s)...\n",
          joined(interfaces).c_str(), leaseWaitSeconds);
  for (int tick = 0; tick <= leaseWaitSeconds * 10; ++tick) {
    system_.reapChildren();
    if ((haveLease = dhcp_.lease(&lease))) break;
    system_.sleepMilliseconds(kPauseMilliseconds);
  }
  if (!haveLease) {
    cprintf(
        "No DHCP lease within %d s: testing goes on, and events wait for "
        "one.\n",
        leaseWaitSeconds);
    return;
  }
  std::string collector;
  if (!options.syslogHost.empty()) {
    collector = options.syslogHost + ":" + std::to_string(options.syslogPort);
  } else if (!lease.logServer.empty()) {
    collector = lease.logServer + ":" + std::to_string(options.syslogPort);
  }
  cprintf("Network: %s has %s; %s.\n", lease.interface.c_str(),
          lease.address.c_str(),
          collector.empty()
              ? "DHCP named no log server (option 7), so no events are sent"
              : ("events go to " + collector).c_str());
}
