// Cellcheck boots as the first process of its image: start-up prepares the
// kernel and takes the test area, then the schedule tests it until the
// machine is switched off. With cellcheck.* options on the kernel command
// line the run is unattended: it may end with a verdict and send its events
// to a syslog collector. main never returns once testing has begun.
//
// The same binary answers the DHCP client's lease events (the image has no
// shell for a script).
#include <unistd.h>

#include <ctime>
#include <memory>

#include "app/findings.h"
#include "app/schedule.h"
#include "app/startup.h"
#include "app/unattended.h"
#include "app/unattended_run.h"
#include "console/cellchecker_dos.h"
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

time_t clockNow() { return time(nullptr); }

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

int main(int argc, char** argv) {
  if (startedAsLeaseScript(argc, argv)) return runLeaseScript(argv[1]);

  LinuxKernel kernel;
  UdhcpcClient dhcp(kBusybox, kImageInit, kLeaseFolder);
  Unattended unattended(kernel, dhcp, kModuleRoot, kBusybox);
  unattended.pause = [] { usleep(100000); };
  const StartupResult started = startUp(kernel, cellchecker, &unattended);
  if (started == StartupResult::kNotInit) return 1;

  ErrorCountFindings findings(cellchecker);
  UnattendedRun run(
      unattended, kernel, dhcp, cellchecker, findings, clockNow,
      [](const std::string& host, uint16_t port) {
        return std::unique_ptr<DatagramSink>(new UdpSink(host, port));
      });
  if (started == StartupResult::kStopped) {
    // The reason stays on the screen: the machine never switches itself
    // off here.
    run.postStopped();
    LinuxKernel::haltForever();
  }
  Schedule<CellcheckerDos> schedule(cellchecker, [] { return time(nullptr); });
  if (!unattended.options.any) schedule.runForever();

  run.postStart();
  schedule.runUntil(run);
  run.finish();
  endUnattended(kernel, unattended.options.end);
}
