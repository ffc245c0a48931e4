// The disks role on Linux: the partitions the kernel lists in
// /sys/class/block, and the report's FAT file system, mounted, read,
// written and synced.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "base/small_file.h"
#include "platform/linux_calls.h"
#include "platform/linux_kernel.h"

std::vector<DiskPartition> LinuxKernel::partitions() {
  std::vector<DiskPartition> found;
  const std::string blocks = "/sys/class/block";
  for (const std::string& name : folderEntries(blocks)) {
    // Only partitions have this file: their number on the disk.
    const std::string number = readFileLine(blocks + "/" + name + "/partition");
    if (number.empty()) continue;
    // The entry links to .../block/DISK/PARTITION.
    std::string disk = linkTarget(blocks + "/" + name);
    if (disk.empty()) continue;
    disk = disk.substr(0, disk.rfind('/'));
    disk = disk.substr(disk.rfind('/') + 1);
    found.push_back(DiskPartition{name, disk, atoi(number.c_str())});
  }
  return found;
}

int LinuxKernel::mountFat(const std::string& name, const std::string& at,
                          bool writable) {
  mkdir(at.c_str(), 0755);
  const std::string device = "/dev/" + name;
  unsigned long flags = MS_NOSUID | MS_NODEV | MS_NOEXEC | MS_NOATIME;
  if (!writable) flags |= MS_RDONLY;
  // File times as the clock reads (the real-time clock's, as the names);
  // each file's data goes to the disk soon after it is written.
  const char* options = writable ? "tz=UTC,flush" : "tz=UTC";
  return errorOf(mount(device.c_str(), at.c_str(), "vfat", flags, options));
}

int LinuxKernel::unmount(const std::string& at) {
  return errorOf(umount(at.c_str()));
}

int LinuxKernel::readFile(const std::string& path, size_t limit,
                          std::string* text) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  text->assign(limit, '\0');
  size_t got = 0;
  int error = 0;
  while (got < limit) {
    const ssize_t n = read(fd, &(*text)[got], limit - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) error = errno;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(fd);
  text->resize(got);
  return error;
}

bool LinuxKernel::exists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

int LinuxKernel::createFile(const std::string& path, int* file) {
  const int fd =
      open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  *file = fd;
  return 0;
}

int LinuxKernel::writeFile(int file, const char* data, size_t size) {
  while (size != 0) {
    const ssize_t n = write(file, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return 0;
}

int LinuxKernel::syncAndClose(int file) {
  // fsync alone is not enough on FAT: Linux 6.12's vfat wrote the file's
  // data and its directory entry but left the FAT's sectors that chain its
  // clusters to the kernel's writeback, half a minute later (a stick read
  // right after the verdict held files whose clusters were free). syncfs
  // writes every dirty sector of the file system and waits for them.
  int synced = errorOf(fsync(file));
  if (synced == 0) synced = errorOf(syncfs(file));
  const int closed = errorOf(close(file));
  return synced != 0 ? synced : closed;
}

int LinuxKernel::renameFile(const std::string& from, const std::string& to) {
  if (rename(from.c_str(), to.c_str()) != 0) return errno;
  const std::string folder = to.substr(0, to.rfind('/') + 1);
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  return syncAndClose(fd);
}
