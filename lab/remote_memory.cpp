#include "lab/remote_memory.h"

#include <sys/uio.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

// A thread's malloc arena (glibc's, for each thread that allocates) reserves
// this much, aligned to its size, and makes it writable from its start as it
// grows: what is in use lies just below the rest of the reservation.
constexpr uint64_t kArenaBytes = 64ull << 20;

struct MapsLine {
  uint64_t start = 0;
  uint64_t end = 0;
  std::string perms;
  bool anonymous = false;
};

std::vector<MapsLine> mapsOf(pid_t pid) {
  std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
  std::vector<MapsLine> lines;
  std::string line;
  while (std::getline(maps, line)) {
    std::istringstream fields(line);
    std::string range, offset, device, name;
    unsigned long inode = 0;
    MapsLine mapping;
    fields >> range >> mapping.perms >> offset >> device >> inode >> name;
    const size_t dash = range.find('-');
    mapping.start = std::stoull(range.substr(0, dash), nullptr, 16);
    mapping.end = std::stoull(range.substr(dash + 1), nullptr, 16);
    mapping.anonymous = inode == 0 && name.empty();
    lines.push_back(mapping);
  }
  return lines;
}

std::vector<iovec> wordVectors(const std::vector<uint64_t>& addresses) {
  std::vector<iovec> remote(addresses.size());
  for (size_t i = 0; i < addresses.size(); ++i) {
    remote[i].iov_base = reinterpret_cast<void*>(addresses[i]);
    remote[i].iov_len = sizeof(uint32_t);
  }
  return remote;
}

}  // namespace

bool largestAnonymousStretch(pid_t pid, Mapping* found) {
  const std::vector<MapsLine> lines = mapsOf(pid);
  Mapping stretch;
  bool any = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    const MapsLine& mapping = lines[i];
    if (mapping.perms != "rw-p" || !mapping.anonymous) continue;
    const bool arena =
        mapping.start % kArenaBytes == 0 && i + 1 < lines.size() &&
        lines[i + 1].start == mapping.end && lines[i + 1].perms == "---p" &&
        lines[i + 1].end == mapping.start + kArenaBytes;
    if (arena) continue;
    if (mapping.start != stretch.end) stretch.start = mapping.start;
    stretch.end = mapping.end;
    if (!any || stretch.end - stretch.start > found->end - found->start) {
      *found = stretch;
      any = true;
    }
  }
  return any;
}

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

bool RemoteMemory::readSpan(uint64_t address, size_t count,
                            std::vector<uint32_t>* values) const {
  values->assign(count, 0);
  iovec local = {values->data(), count * sizeof(uint32_t)};
  iovec remote = {reinterpret_cast<void*>(address), local.iov_len};
  return process_vm_readv(pid_, &local, 1, &remote, 1, 0) ==
         static_cast<ssize_t>(local.iov_len);
}

bool RemoteMemory::writeSpan(uint64_t address,
                             const std::vector<uint32_t>& values) const {
  iovec local = {const_cast<uint32_t*>(values.data()),
                 values.size() * sizeof(uint32_t)};
  iovec remote = {reinterpret_cast<void*>(address), local.iov_len};
  return process_vm_writev(pid_, &local, 1, &remote, 1, 0) ==
         static_cast<ssize_t>(local.iov_len);
}
