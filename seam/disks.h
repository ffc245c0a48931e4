// The kernel seam, disks role: the partitions of the disks the kernel has
// found (their device files in /dev, which the devices role mounts), and the
// one FAT file system that reports go to: mounted, its files read, written,
// synced and renamed. Nothing here opens a disk for writing unless the caller
// mounts it writable; the caller does that only for the partition that carries
// this image's own mark.
//
// Failure convention: a call that can fail returns 0 when it did what it
// says and the error number (errno) when not: ENOSPC for a full file
// system, EIO or ENODEV for a disk that is gone. Listing and asking cannot
// fail (what cannot be read counts as not there).
#ifndef CELLCHECK_SEAM_DISKS_H_
#define CELLCHECK_SEAM_DISKS_H_

#include <cstddef>
#include <string>
#include <vector>

// One partition of a disk, as the kernel names it.
struct DiskPartition {
  std::string name;  // "sdb3"
  std::string disk;  // "sdb"
  int number = 0;    // its number in the disk's partition table, from 1
};

class KernelDisks {
 public:
  virtual ~KernelDisks() = default;

  // The partitions the kernel knows now, in the kernel's order. Disks
  // appear a few seconds after their drivers load, one by one.
  virtual std::vector<DiskPartition> partitions() = 0;

  // Mounts the FAT file system (vfat) of the partition `name` on the
  // folder `at`, made when missing: read-only unless `writable`.
  virtual int mountFat(const std::string& name, const std::string& at,
                       bool writable) = 0;
  virtual int unmount(const std::string& at) = 0;

  // Files of a mounted file system, by their path under its folder.
  // At most `limit` bytes of the file into `text`.
  virtual int readFile(const std::string& path, size_t limit,
                       std::string* text) = 0;
  virtual bool exists(const std::string& path) = 0;
  // Opens `path` for writing, empty, made when missing; a handle for the
  // two calls below goes to `file`.
  virtual int createFile(const std::string& path, int* file) = 0;
  // Appends all `size` bytes, or fails.
  virtual int writeFile(int file, const char* data, size_t size) = 0;
  // Has the file written to the disk, data and every sector of the file
  // system that finds it (FAT, folder), then closes it (closed also when
  // the writing failed).
  virtual int syncAndClose(int file) = 0;
  // Renames `from` to `to`, replacing a file there, and has the folder
  // written to the disk.
  virtual int renameFile(const std::string& from, const std::string& to) = 0;
};

#endif  // CELLCHECK_SEAM_DISKS_H_
