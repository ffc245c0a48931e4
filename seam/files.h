// The kernel seam, files role: the kernel's files under /proc and /sys, the
// kernel's log, and the image's own files. The real program reads and
// changes the real ones (platform/linux_kernel.h); tests point every kernel
// path at files of their own and note what would be removed.
//
// Failure convention: nothing here reports a failure. A kernel file that
// cannot be read reads as empty (its path leads nowhere), and so do the
// kernel's log and a link; a mount, a new folder, a file written or a
// removal that fails leaves things as they were, and whoever reads next
// notices.
#ifndef CELLCHECK_SEAM_FILES_H_
#define CELLCHECK_SEAM_FILES_H_

#include <string>

#include "base/types.h"

// The /proc files that start-up reads and writes: meminfo (read: the RAM
// the kernel has mapped), then the tunables it writes, each named, with its
// path, value and reason, in seam/tunables.inc (read as a table through
// seam/tunables.h).
enum class ProcFile {
  kMeminfo,
#define TUNABLE(name, path, value) name,
#include "seam/tunables.inc"
#undef TUNABLE
};

class KernelFiles {
 public:
  virtual ~KernelFiles() = default;

  // Mounts the proc file system on /proc (once: a second call finds it
  // there), and sysfs on /sys.
  virtual void mountProc() = 0;
  virtual void mountSys() = 0;

  // Where `file` is; the callers open it with standard file I/O.
  virtual const char* path(ProcFile file) = 0;
  // Where the kernel file or folder `kernelPath` is read from: an absolute
  // path under /proc or /sys (such as "/sys/class/dmi/id/product_serial")
  // stands for itself on the real kernel and for a file of the fake's own
  // in tests.
  virtual std::string file(const char* kernelPath) = 0;
  // The kernel's log buffer as text, one message a line, each with its
  // "<level>[seconds]" prefix, oldest first. The buffer is a ring: the
  // oldest messages of a long boot may be gone.
  virtual std::string kernelLog() = 0;
  // Where the symbolic link at `path` (one under a folder file() gave, such
  // as a device's link in /sys) points, as the kernel wrote it; empty when
  // there is no link there.
  virtual std::string linkTarget(const std::string& path) = 0;

  // The image's own files, which live in RAM. Whether this binary is the
  // image's /init: only then are the drivers under /lib/modules and the
  // DHCP client in /bin the image's own, to be loaded and dropped. Run as
  // the first process elsewhere (the fault lab's sandbox), the program must
  // never load a host's modules or delete a host's files. Needs /proc.
  virtual bool isImageInit() = 0;
  // The bytes the files at `path` take: one file, or a folder with all it
  // holds.
  virtual u64 fileBytes(const std::string& path) = 0;
  // Deletes the file or folder at `path` with all it holds and returns the
  // bytes its files took: what the deletion gives back to free memory.
  virtual u64 removeFiles(const std::string& path) = 0;
  // Makes the folder `path` unless it is there.
  virtual void makeFolder(const std::string& path) = 0;
  // Makes `text` the whole of the file at `path`: written to a new file
  // beside it, then renamed over it, so that a reader finds the old file or
  // the new one, never half of one.
  virtual void replaceFile(const std::string& path,
                           const std::string& text) = 0;
  // Deletes the one file at `path` (not a folder).
  virtual void removeFile(const std::string& path) = 0;
};

#endif  // CELLCHECK_SEAM_FILES_H_
