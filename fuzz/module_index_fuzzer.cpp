// The image's module index (modules.dep, modules.alias, modules.softdep) and
// a device's modalias, as the loader matches them: four fields of the input,
// cut at NUL bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "modules/module_index.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  ModuleIndex index;
  index.readDep(field(input, '\0', 0));
  index.readAlias(field(input, '\0', 1));
  index.readSoftdep(field(input, '\0', 2));
  const std::string modalias = field(input, '\0', 3);
  for (const std::string& name : index.matching(modalias)) {
    // Only modules the index has a file for, each by its kernel name.
    FUZZ_CHECK(index.has(name));
    FUZZ_CHECK(moduleName(name) == name);
    index.file(name);
    for (const std::string& needed : index.dependencies(name)) {
      FUZZ_CHECK(!needed.empty());
    }
    index.softPre(name);
    index.softPost(name);
  }
  return 0;
}
