#include "net/udhcpc_client.h"

#include "base/small_file.h"

UdhcpcClient::UdhcpcClient(KernelFiles& files, KernelSystem& system,
                           std::string busybox, std::string script,
                           std::string leaseFolder)
    : files_(files),
      system_(system),
      busybox_(std::move(busybox)),
      script_(std::move(script)),
      leaseFolder_(std::move(leaseFolder)) {}

std::vector<std::string> UdhcpcClient::interfaces() {
  std::vector<std::string> names;
  for (const std::string& name : folderEntries(files_.file("/sys/class/net"))) {
    if (name[0] != '.' && name != "lo") names.push_back(name);
  }
  return names;
}

std::vector<std::string> UdhcpcClient::start() {
  std::vector<std::string> started;
  files_.makeFolder(leaseFolder_);
  for (const std::string& interface : interfaces()) {
    // Foreground (it stays this process's child), three discovers three
    // seconds apart, then a pause of ten, for ever; asks for option 7.
    const ChildProgram udhcpc{
        busybox_,
        {"udhcpc", "-f", "-i", interface, "-O", "7", "-s", script_, "-t", "3",
         "-T", "3", "-A", "10"},
        {std::string(kLeaseFolderVariable) + "=" + leaseFolder_}};
    pid_t pid = 0;
    if (system_.startChild(udhcpc, &pid) != 0) continue;
    clients_.emplace_back(interface, pid);
    started.push_back(interface);
  }
  return started;
}

bool UdhcpcClient::lease(Lease* lease) {
  if (!chosen_.empty()) {
    return parseLeaseFile(readSmallFile(leaseFolder_ + "/" + chosen_), lease);
  }
  for (const auto& client : clients_) {
    if (!parseLeaseFile(readSmallFile(leaseFolder_ + "/" + client.first),
                        lease)) {
      continue;
    }
    chosen_ = client.first;
    // One interface carries the events; the other clients stop (the
    // first process reaps them).
    for (const auto& other : clients_) {
      if (other.first != chosen_) system_.stopChild(other.second);
    }
    return true;
  }
  return false;
}
