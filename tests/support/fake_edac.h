// The memory controllers' counts as Linux's EDAC drivers show them under
// /sys/devices/system/edac/mc, put into a fake kernel: one tree for every
// test of the ECC counts.
#ifndef CELLCHECK_TESTS_SUPPORT_FAKE_EDAC_H_
#define CELLCHECK_TESTS_SUPPORT_FAKE_EDAC_H_

#include <string>
#include <vector>

#include "tests/support/fake_kernel.h"

// Where the controllers are, with the trailing slash.
constexpr char kEdacRoot[] = "/sys/devices/system/edac/mc/";

// A module's files as a driver of the 6.1 kernel writes them; a null text
// leaves that file out.
struct FakeDimm {
  const char* name;  // "dimm0", or "rank0" where a driver counts by rank
  const char* label;
  const char* location;
  const char* mode;  // "SECDED\n", "None\n", ...
  const char* corrected;
  const char* uncorrected;
};

// Controller `mc` ("mc0") with its type (mc_name), its own counts (null
// leaves the file out), no errors it could not tie to a module, and its
// modules.
inline void putEdacController(FakeKernel& kernel, const std::string& mc,
                              const char* type, const char* corrected,
                              const char* uncorrected,
                              const std::vector<FakeDimm>& dimms) {
  const std::string folder = kEdacRoot + mc + "/";
  kernel.putFile(folder + "mc_name", std::string(type) + "\n");
  kernel.putFile(folder + "size_mb", "16384\n");
  if (corrected != nullptr) kernel.putFile(folder + "ce_count", corrected);
  if (uncorrected != nullptr) kernel.putFile(folder + "ue_count", uncorrected);
  kernel.putFile(folder + "ce_noinfo_count", "0\n");
  kernel.putFile(folder + "ue_noinfo_count", "0\n");
  for (const FakeDimm& dimm : dimms) {
    const std::string at = folder + dimm.name + "/";
    kernel.putFile(at + "size", "8192\n");
    const std::pair<const char*, const char*> files[] = {
        {"dimm_label", dimm.label},
        {"dimm_location", dimm.location},
        {"dimm_edac_mode", dimm.mode},
        {"dimm_ce_count", dimm.corrected},
        {"dimm_ue_count", dimm.uncorrected}};
    for (const auto& file : files) {
      if (file.second != nullptr) kernel.putFile(at + file.first, file.second);
    }
  }
}

// One file of the tree anew, by its path under kEdacRoot
// ("mc0/dimm0/dimm_ce_count").
inline void putEdacFile(FakeKernel& kernel, const std::string& file,
                        const std::string& text) {
  kernel.putFile(kEdacRoot + file, text);
}

#endif  // CELLCHECK_TESTS_SUPPORT_FAKE_EDAC_H_
