#include "net/udhcpc_client.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "base/text_file.h"

namespace {

std::vector<std::string> interfaces() {
  std::vector<std::string> names;
  DIR* dir = opendir("/sys/class/net");
  if (dir == nullptr) return names;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name[0] != '.' && name != "lo") names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

// The out-of-memory killer must never pick a DHCP client: the test area
// leaves little free memory, and a client lost after the area is taken
// cannot be started again (a fork of the first process would fail then).
void shield(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/oom_score_adj";
  FILE* file = fopen(path.c_str(), "w");
  if (file == nullptr) return;
  fputs("-1000", file);
  fclose(file);
}

}  // namespace

UdhcpcClient::UdhcpcClient(std::string busybox, std::string script,
                           std::string leaseFolder)
    : busybox_(std::move(busybox)),
      script_(std::move(script)),
      leaseFolder_(std::move(leaseFolder)) {}

std::vector<std::string> UdhcpcClient::start() {
  std::vector<std::string> started;
  if (access(busybox_.c_str(), X_OK) != 0) return started;
  mkdir(leaseFolder_.c_str(), 0755);
  for (const std::string& interface : interfaces()) {
    const pid_t pid = fork();
    if (pid < 0) continue;
    if (pid == 0) {
      // udhcpc's own messages would break up the console's lines.
      const int quiet = open("/dev/null", O_RDWR);
      if (quiet >= 0) {
        dup2(quiet, STDIN_FILENO);
        dup2(quiet, STDOUT_FILENO);
        dup2(quiet, STDERR_FILENO);
      }
      setenv(kLeaseFolderVariable, leaseFolder_.c_str(), 1);
      // Foreground (it stays this process's child), three discovers three
      // seconds apart, then a pause of ten, for ever; asks for option 7.
      execl(busybox_.c_str(), "udhcpc", "-f", "-i", interface.c_str(), "-O",
            "7", "-s", script_.c_str(), "-t", "3", "-T", "3", "-A", "10",
            static_cast<char*>(nullptr));
      _exit(127);
    }
    shield(pid);
    clients_.emplace_back(interface, pid);
    started.push_back(interface);
  }
  return started;
}

bool UdhcpcClient::lease(Lease* lease) {
  if (!chosen_.empty()) {
    return parseLeaseFile(readTextFile(leaseFolder_ + "/" + chosen_), lease);
  }
  for (const auto& client : clients_) {
    if (!parseLeaseFile(readTextFile(leaseFolder_ + "/" + client.first),
                        lease)) {
      continue;
    }
    chosen_ = client.first;
    // One interface carries the events; the other clients stop (the
    // first process reaps them).
    for (const auto& other : clients_) {
      if (other.first != chosen_) kill(other.second, SIGTERM);
    }
    return true;
  }
  return false;
}
