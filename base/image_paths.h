// Where the boot image keeps what the program uses (image/build.sh puts
// them there), and where the program keeps its own files at run time: all
// in the image's RAM, none on a disk. Tests hand their own folders to the
// parts that take a path.
#ifndef CELLCHECK_BASE_IMAGE_PATHS_H_
#define CELLCHECK_BASE_IMAGE_PATHS_H_

// This binary, as the image's first process.
constexpr char kImageInit[] = "/init";
// The image's kernel modules, under a folder named after the kernel's
// release.
constexpr char kModuleRoot[] = "/lib/modules";
// busybox, for its DHCP client (udhcpc).
constexpr char kBusybox[] = "/bin/busybox";
// The image's build mark, which its report partition carries too.
constexpr char kBuildMark[] = "/etc/cellcheck-build";

// The DHCP client's leases, one file per interface.
constexpr char kLeaseFolder[] = "/run/cellcheck";
// Where a partition is mounted read-only to read its build mark.
constexpr char kProbeMountFolder[] = "/run/cellcheck-probe";
// Where the report partition stays mounted.
constexpr char kReportMountFolder[] = "/run/cellcheck-reports";

#endif  // CELLCHECK_BASE_IMAGE_PATHS_H_
