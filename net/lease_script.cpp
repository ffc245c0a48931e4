#include "net/lease_script.h"

#include <cstdlib>
#include <string>

#include "net/lease.h"

namespace {

// What udhcpc gives its script: the event as the one argument, the lease
// folder and the interface in the environment.
bool looksLikeLeaseEvent(int argc, char** argv,
                         const std::function<const char*(const char*)>& get) {
  return argc == 2 && isLeaseEvent(argv[1]) &&
         get(kLeaseFolderVariable) != nullptr && get("interface") != nullptr;
}

}  // namespace

bool startedAsLeaseScript(KernelSystem& system, int argc, char** argv) {
  return !system.isInit() && looksLikeLeaseEvent(argc, argv, getenv);
}

bool startedAsLeaseScript(pid_t pid, int argc, char** argv,
                          const std::function<const char*(const char*)>& get) {
  return pid != 1 && looksLikeLeaseEvent(argc, argv, get);
}

int runLeaseScript(NetworkInterfaces& network, KernelFiles& files,
                   const char* event) {
  const char* folder = getenv(kLeaseFolderVariable);
  const char* interface = getenv("interface");
  // The lease file is named after the interface: a name that is none the
  // kernel gives (such as "../x") touches nothing.
  if (folder == nullptr || !validInterface(interface)) return 1;
  const std::string name = event;
  if (name == "deconfig") {
    network.clearInterface(interface);
    files.removeFile(std::string(folder) + "/" + interface);
  } else if (name == "bound" || name == "renew") {
    Lease lease;
    if (leaseFromEnvironment(getenv, &lease)) {
      network.configureInterface(InterfaceSetup{lease.interface, lease.address,
                                                lease.netmask, lease.broadcast,
                                                lease.router});
      // The first process never reads half a lease.
      files.replaceFile(std::string(folder) + "/" + lease.interface,
                        leaseFileText(lease));
    }
  }
  return 0;
}
