#include "app/unattended.h"

#include <sys/stat.h>

#include <cstdio>
#include <utility>
#include <vector>

#include "base/cprintf.h"
#include "base/text_file.h"

namespace {

// A one-line kernel file without its line feed.
std::string readLine(const std::string& path) {
  std::string text = readTextFile(path);
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
    text.pop_back();
  }
  return text;
}

std::string joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names)
    text += (text.empty() ? "" : ", ") + name;
  return text;
}

}  // namespace

Unattended::Unattended(Kernel& kernel, DhcpClient& dhcp, std::string moduleRoot,
                       std::string busybox)
    : kernel_(kernel),
      dhcp_(dhcp),
      moduleRoot_(std::move(moduleRoot)),
      busybox_(std::move(busybox)) {}

void Unattended::readOptions() {
  std::vector<std::string> complaints;
  options =
      parseRunOptions(readLine(kernel_.file("/proc/cmdline")), &complaints);
  for (const std::string& complaint : complaints) {
    cprintf("%s\n", complaint.c_str());
  }
  if (!options.any) return;
  kernel_.mountSys();
  identity = readMachineIdentity(kernel_);
  cprintf("%s\n", identityLine(identity).c_str());
  cprintf("%s\n", describeRunOptions(options).c_str());
}

void Unattended::prepare() {
  if (!options.syslog) return;
  loadDrivers();
  cprintf(
      "Module files (%.1f MiB) are dropped from memory before it is "
      "measured.\n",
      static_cast<double>(folderBytes(moduleRoot_)) / kMiB);
  waitForLease();
}

void Unattended::dropImageFiles() {
  if (!ownsImageFiles || !ownsImageFiles()) return;
  // Once the drivers are in the kernel (or not wanted), their files are
  // only in the test area's way.
  bytesFreed = removeFolder(moduleRoot_);
  if (options.syslog) return;
  struct stat info;
  if (stat(busybox_.c_str(), &info) == 0 && remove(busybox_.c_str()) == 0) {
    bytesFreed += static_cast<u64>(info.st_size);
  }
}

void Unattended::loadDrivers() {
  const std::string folder = runningKernelModules(kernel_, moduleRoot_);
  ModuleLoader loader(kernel_, folder);
  if (!loader.readIndex()) {
    cprintf("The image holds no drivers for kernel %s: no network.\n",
            folder.substr(folder.rfind('/') + 1).c_str());
    return;
  }
  // The memory controllers' drivers were tried on every boot already; the
  // image's other drivers are not for the network.
  drivers = loader.loadForDevices(isNetworkModule);
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

void Unattended::waitForLease() {
  const std::vector<std::string> interfaces = dhcp_.start();
  if (interfaces.empty()) {
    cprintf("No network interface: events cannot be sent.\n");
    return;
  }
  cprintf("Asking DHCP for a lease on %s (waiting at most %d s)...\n",
          joined(interfaces).c_str(), leaseWaitSeconds);
  for (int tick = 0; tick <= leaseWaitSeconds * 10; ++tick) {
    kernel_.reapChildren();
    if ((haveLease = dhcp_.lease(&lease))) break;
    if (pause) pause();
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
