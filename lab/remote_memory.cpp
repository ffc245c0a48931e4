#include "lab/remote_memory.h"

#include <sys/uio.h>

#include <fstream>
#include <sstream>
#include <string>

bool largestAnonymousStretch(pid_t pid, Mapping* found) {
  std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
  std::string line;
  Mapping stretch;
  bool any = false;
  while (std::getline(maps, line)) {
    std::istringstream fields(line);
    std::string range, perms, offset, device, name;
    unsigned long inode = 0;
    fields >> range >> perms >> offset >> device >> inode >> name;
    if (perms != "rw-p" || inode != 0 || !name.empty()) continue;
    const size_t dash = range.find('-');
    const uint64_t start = std::stoull(range.substr(0, dash), nullptr, 16);
    const uint64_t end = std::stoull(range.substr(dash + 1), nullptr, 16);
    if (start != stretch.end) stretch.start = start;
    stretch.end = end;
    if (!any || stretch.end - stretch.start > found->end - found->start) {
      *found = stretch;
      any = true;
    }
  }
  return any;
}

namespace {

std::vector<iovec> wordVectors(const std::vector<uint64_t>& addresses) {
  std::vector<iovec> remote(addresses.size());
  for (size_t i = 0; i < addresses.size(); ++i) {
    remote[i].iov_base = reinterpret_cast<void*>(addresses[i]);
    remote[i].iov_len = sizeof(uint32_t);
  }
  return remote;
}

}  // namespace

bool RemoteMemory::readWords(const std::vector<uint64_t>& addresses,
                             std::vector<uint32_t>* values) const {
  values->assign(addresses.size(), 0);
  const std::vector<iovec> remote = wordVectors(addresses);
  iovec local = {values->data(), values->size() * sizeof(uint32_t)};
  const ssize_t done =
      process_vm_readv(pid_, &local, 1, remote.data(), remote.size(), 0);
  return done == static_cast<ssize_t>(local.iov_len);
}

bool RemoteMemory::writeWords(const std::vector<uint64_t>& addresses,
                              const std::vector<uint32_t>& values) const {
  const std::vector<iovec> remote = wordVectors(addresses);
  iovec local = {const_cast<uint32_t*>(values.data()),
                 values.size() * sizeof(uint32_t)};
  const ssize_t done =
      process_vm_writev(pid_, &local, 1, remote.data(), remote.size(), 0);
  return done == static_cast<ssize_t>(local.iov_len);
}
