// Cellcheck boots as the first process of its image: start-up prepares the
// kernel and takes the test area, then the schedule tests it until the
// machine is switched off. With cellcheck.* options on the kernel command
// line the run is unattended: it may end with a verdict and send its events
// to a syslog collector. main never returns once testing has begun.
//
// The same binary answers the DHCP client's lease events (the image has no
// shell for a script).
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <memory>

#include "app/bad_memory_findings.h"
#include "app/ecc_watch.h"
#include "app/kernel_addresses.h"
#include "app/machine_check_watch.h"
#include "app/schedule.h"
#include "app/startup.h"
#include "app/unattended.h"
#include "app/unattended_run.h"
#include "badmem/bad_memory.h"
#include "console/bad_memory_watch.h"
#include "console/cellchecker_dos.h"
#include "machinecheck/fault_guard.h"
#include "machinecheck/memory_faults.h"
#include "net/lease_script.h"
#include "net/udhcpc_client.h"
#include "report/datagram_sink.h"
#include "sysmem/linux_kernel.h"

namespace {

// Where the image keeps what an unattended run needs.
constexpr char kImageInit[] = "/init";
constexpr char kModuleRoot[] = "/lib/modules";
constexpr char kBusybox[] = "/bin/busybox";
constexpr char kLeaseFolder[] = "/run/cellcheck";

// Time for the last datagrams to leave the network card before it goes
// dark with the power.
constexpr unsigned kSecondsBeforePowerOff = 3;

// True when this binary is the image's /init, not a copy run elsewhere.
// Needs /proc.
bool runsAsImageInit() {
  char exe[64];
  const ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (length < 0) return false;
  exe[length] = '\0';
  return strcmp(exe, kImageInit) == 0;
}

[[noreturn]] void endUnattended(LinuxKernel& kernel, EndAction end) {
  if (end == EndAction::kPowerOff) {
    sleep(kSecondsBeforePowerOff);
    kernel.powerOff();
  }
  // Halted: the verdict stays on the screen; the DHCP client keeps the
  // lease, and whatever child ends is collected.
  for (;;) {
    sleep(60);
    kernel.reapChildren();
  }
}

}  // namespace

// Built by static initialisation, before main: its constructor seeds the
// pattern generator from the clock.
CellcheckerDos cellchecker;
// The bad-memory record's fixed tables exist from the start, before the
// memory is measured and taken.
BadMemory badMemory;
// What the SIGBUS handler leaves for the reports: fixed tables too.
MemoryFaultLog memoryFaults;

int main(int argc, char** argv) {
  // Only a child of the DHCP client answers as its script: the first
  // process must never return from main.
  if (startedAsLeaseScript(argc, argv)) return runLeaseScript(argv[1]);

  LinuxKernel kernel;
  // First of all: the first process must survive an uncorrected memory
  // error, and must not take the kernel down with a fault of its own.
  MemoryFaultGuard guard(kernel, memoryFaults);
  if (kernel.isInit()) guard.install();
  KernelAddresses addresses(kernel, &memoryFaults);
  const Clock clock = [] { return time(nullptr); };
  BadMemoryWatch watch(badMemory, addresses, clock);
  cellchecker.watchBadMemory(&watch);
  UdhcpcClient dhcp(kBusybox, kImageInit, kLeaseFolder);
  Unattended unattended(kernel, dhcp, kModuleRoot, kBusybox);
  unattended.pause = [] { usleep(100000); };
  unattended.ownsImageFiles = runsAsImageInit;
  EccWatch ecc(kernel, badMemory, clock, kModuleRoot, &watch);
  ecc.imageDrivers = runsAsImageInit;
  const StartupResult started =
      startUp(kernel, cellchecker, badMemory, &unattended, &ecc, &guard);
  if (started == StartupResult::kNotInit) return 1;

  BadMemoryFindings findings(badMemory, watch, &memoryFaults);
  UnattendedRun run(
      unattended, kernel, dhcp, cellchecker, findings, clock,
      [](const std::string& host, uint16_t port) {
        return std::unique_ptr<DatagramSink>(new UdpSink(host, port));
      });
  if (started == StartupResult::kStopped) {
    // The reason stays on the screen: the machine never switches itself
    // off here.
    run.postStopped();
    LinuxKernel::haltForever();
  }
  MachineCheckWatch machineChecks(memoryFaults, cellchecker, badMemory, &watch);
  // A machine check during a test comes before the errors of the fresh page
  // that replaced the lost one.
  cellchecker.showFirst([&] { machineChecks.poll(); });
  // Between tests, never inside one: what the guard caught, and what the
  // memory controllers counted.
  const auto betweenTests = [&] {
    machineChecks.poll();
    ecc.poll();
  };
  // What the early check and the pre-test found, at once.
  betweenTests();
  watch.poll();
  Schedule<CellcheckerDos> schedule(cellchecker, clock, &watch);
  schedule.setBetweenTests(betweenTests);
  if (!unattended.options.any) schedule.runForever();

  run.postStart();
  schedule.runUntil(run);
  run.finish();
  endUnattended(kernel, unattended.options.end);
}
