// Cellcheck boots as the first process of its image: start-up prepares the
// kernel and takes the test area, then the schedule tests it until the
// machine is switched off. With cellcheck.* options on the kernel command
// line the run is unattended: it may end with a verdict and send its events
// to a syslog collector and the serial port. The PC speaker beeps at the
// first error and at the verdict. main never returns once testing has
// begun.
//
// The same binary answers the DHCP client's lease events (the image has no
// shell for a script).
#include "app/between_tests.h"
#include "app/schedule.h"
#include "app/startup.h"
#include "badmem/bad_memory.h"
#include "base/image_paths.h"
#include "console/bad_memory_watch.h"
#include "console/cellchecker_dos.h"
#include "console/ecc_watch.h"
#include "console/machine_check_watch.h"
#include "console/temperature_watch.h"
#include "machinecheck/fault_guard.h"
#include "machinecheck/memory_faults.h"
#include "machinecheck/process_physical_addresses.h"
#include "net/lease_script.h"
#include "net/udhcpc_client.h"
#include "platform/linux_kernel.h"
#include "run/findings.h"
#include "run/run_facts.h"
#include "run/unattended.h"
#include "run/unattended_run.h"
#include "speaker/beeps.h"
#include "speaker/pc_speaker.h"
#include "stick/boot_stick.h"
#include "stickreport/stick_report.h"

namespace {

// Time for the last datagrams to leave the network card before it goes
// dark with the power.
constexpr unsigned kMillisecondsBeforePowerOff = 3000;
constexpr unsigned kMillisecondsBetweenReaps = 60000;

[[noreturn]] void endUnattended(Kernel& kernel, EndAction end) {
  if (end == EndAction::kPowerOff) {
    kernel.sleepMilliseconds(kMillisecondsBeforePowerOff);
    kernel.powerOff();
  }
  // Halted: the verdict stays on the screen; the DHCP client keeps the
  // lease, and whatever child ends is collected.
  for (;;) {
    kernel.sleepMilliseconds(kMillisecondsBetweenReaps);
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
  LinuxKernel kernel;
  // Only a child of the DHCP client answers as its script: the first
  // process must never return from main.
  if (startedAsLeaseScript(kernel, argc, argv)) {
    return runLeaseScript(kernel, kernel, argv[1]);
  }

  // First of all: the first process must survive an uncorrected memory
  // error, and must not take the kernel down with a fault of its own. The
  // guard's handler reads /proc, which is mounted for it first.
  MemoryFaultGuard guard(kernel, memoryFaults);
  if (kernel.isInit()) {
    kernel.mountProc();
    guard.install();
  }
  ProcessPhysicalAddresses addresses(kernel, &memoryFaults);
  const Clock clock = [&kernel] { return kernel.now(); };
  BadMemoryWatch watch(badMemory, addresses, clock);
  cellchecker.watchBadMemory(&watch);
  // What start-up finds, for the report, the events and the verdict.
  RunFacts facts;
  UdhcpcClient dhcp(kernel, kernel, kBusybox, kImageInit, kLeaseFolder);
  Unattended unattended(kernel, kernel, kernel, dhcp, kModuleRoot);
  EccWatch ecc(kernel, badMemory, clock);
  TemperatureWatch temperatures(kernel, clock);
  Findings findings(badMemory, &memoryFaults, &temperatures);
  BootStick stick(kernel, kernel, kernel, kernel);
  StickReport report(stick, kernel, kernel, findings, cellchecker, addresses,
                     facts, clock);
  PcSpeaker speaker(kernel, kernel, kernel, kModuleRoot);
  StartupParts parts;
  parts.unattended = &unattended;
  parts.ecc = &ecc;
  parts.temperatures = &temperatures;
  parts.report = &report;
  parts.guard = &guard;
  parts.speaker = &speaker;
  parts.nameModules = true;
  parts.moduleRoot = kModuleRoot;
  parts.busybox = kBusybox;
  const StartupFound started =
      startUp(kernel, cellchecker, badMemory, facts, parts);
  if (started.result == StartupResult::kNotInit) return 1;

  UnattendedRun run(facts, unattended, kernel, kernel, dhcp, cellchecker,
                    findings, watch, clock);
  if (started.result == StartupResult::kStopped) {
    // The reason stays on the screen: the machine never switches itself
    // off here.
    run.postStopped();
    kernel.waitForPowerOff();
  }
  MachineCheckWatch machineChecks(memoryFaults, cellchecker, badMemory);
  // The error path's one hook, before an error's lines: a machine check
  // caught during the test comes before the errors of the fresh page that
  // replaced the lost one, with the summary when it is due. Both allocate
  // nothing.
  cellchecker.showFirst([&] {
    machineChecks.poll();
    watch.poll();
  });
  Beeps beeps(speaker, badMemory, kernel);
  BetweenTests between;
  between.put(BetweenTests::kMachineChecks, &machineChecks);
  between.put(BetweenTests::kEcc, &ecc);
  between.put(BetweenTests::kTemperatures, &temperatures);
  between.put(BetweenTests::kSummary, &watch);
  between.put(BetweenTests::kReport, &report);
  between.put(BetweenTests::kBeep, &beeps);
  Schedule<CellcheckerDos> schedule(cellchecker, clock, &between, &watch,
                                    &temperatures);
  // The last of the facts: the report's summaries and the estimate come
  // from the schedule.
  facts.schedule = &schedule;
  if (facts.options.any) {
    between.put(BetweenTests::kEvents, &run.events());
    between.put(BetweenTests::kLimit, &run.limit());
    run.postStart();
  }
  // Only an unattended run's limit ends the schedule; without one it tests
  // until the machine is switched off.
  schedule.run();
  // The pattern first, for a person within earshot; then the report,
  // whose line names it last.
  beeps.verdict(run.finish(between));
  report.verdict(run.verdict());
  endUnattended(kernel, facts.options.end);
}
