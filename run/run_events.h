// Every event a run sends, made from what it is about: the one place where
// the events' names, figures and texts are written.
#ifndef CELLCHECK_RUN_RUN_EVENTS_H_
#define CELLCHECK_RUN_RUN_EVENTS_H_

#include <string>

#include "badmem/bad_memory.h"
#include "dimms/inventory.h"
#include "events/syslog_message.h"
#include "identity/machine_identity.h"
#include "options/run_options.h"
#include "run/findings.h"
#include "run/run_facts.h"
#include "run/verdict.h"

// Testing begins: identity, RAM, test area, Secure Boot, what the options
// ask; the modules (dimms, dimm1, dimm2, ...) and the missing memory.
SyslogEvent startEvent(const RunFacts& facts);
// Start-up stopped before testing (the screen says why): identity and RAM.
SyslogEvent stoppedEvent(const RunFacts& facts);
// With the highest temperatures so far, when there are sensors.
// `hoursTo100`, when above 0, is the estimate of full testing's hours to
// 100 % coverage at the speed the opening measured (the first progress, as
// full testing begins, carries it).
SyslogEvent progressEvent(double coverage, u64 errors, double hours,
                          const FoundTemperatures& temperatures = {},
                          double hoursTo100 = 0);
// The head of the summary's events (its lines are the rest).
SyslogEvent summaryHead();
SyslogEvent errorEvent(const FoundError& error);
// `fresh` errors not sent one by one, `total` in all.
SyslogEvent errorCountEvent(u64 total, u64 fresh, double coverage);
SyslogEvent machineCheckEvent(const FoundMachineCheck& check);
// A module's counts during the run, as they are now.
SyslogEvent eccEvent(const EccModuleErrors& module);
// With the modules by slot, size, part and serial (dimm1, dimm2, ...),
// after the identity.
SyslogEvent verdictEvent(const Verdict& verdict,
                         const MachineIdentity& identity,
                         const Inventory& modules = Inventory());

#endif  // CELLCHECK_RUN_RUN_EVENTS_H_
