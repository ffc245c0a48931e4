#include "net/lease_script.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "net/lease.h"

namespace {

// Written to a new file, then renamed over the old one: the first process
// never reads half a lease.
void keepLease(const std::string& folder, const Lease& lease) {
  const std::string path = folder + "/" + lease.interface;
  const std::string fresh = path + ".new";
  FILE* file = fopen(fresh.c_str(), "w");
  if (file == nullptr) return;
  const std::string text = leaseFileText(lease);
  const bool written = fwrite(text.data(), 1, text.size(), file) == text.size();
  if (fclose(file) == 0 && written) rename(fresh.c_str(), path.c_str());
}

}  // namespace

bool startedAsLeaseScript(int argc, char** argv) {
  return startedAsLeaseScript(getpid(), argc, argv, getenv);
}

bool startedAsLeaseScript(pid_t pid, int argc, char** argv,
                          const std::function<const char*(const char*)>& get) {
  return pid != 1 && argc == 2 && isLeaseEvent(argv[1]) &&
         get(kLeaseFolderVariable) != nullptr && get("interface") != nullptr;
}

int runLeaseScript(NetworkInterfaces& network, const char* event) {
  const char* folder = getenv(kLeaseFolderVariable);
  const char* interface = getenv("interface");
  // The lease file is named after the interface: a name that is none the
  // kernel gives (such as "../x") touches nothing.
  if (folder == nullptr || !validInterface(interface)) return 1;
  const std::string name = event;
  if (name == "deconfig") {
    network.clearInterface(interface);
    remove((std::string(folder) + "/" + interface).c_str());
  } else if (name == "bound" || name == "renew") {
    Lease lease;
    if (leaseFromEnvironment(getenv, &lease)) {
      network.configureInterface(InterfaceSetup{lease.interface, lease.address,
                                                lease.netmask, lease.broadcast,
                                                lease.router});
      keepLease(folder, lease);
    }
  }
  return 0;
}
