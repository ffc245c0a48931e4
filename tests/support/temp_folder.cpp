#include "tests/support/temp_folder.h"

#include <ftw.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

namespace {

int removeEntry(const char* path, const struct stat*, int, FTW*) {
  return remove(path);
}

}  // namespace

TempFolder::TempFolder(const std::string& name) {
  std::string pattern = "/tmp/cellcheck-" + name + "-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) abort();
  path_ = pattern;
}

TempFolder::~TempFolder() {
  nftw(path_.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

bool TempFolder::write(const std::string& relative,
                       const std::string& text) const {
  const std::string file = path_ + "/" + relative;
  for (size_t slash = file.find('/', path_.size() + 1);
       slash != std::string::npos; slash = file.find('/', slash + 1)) {
    mkdir(file.substr(0, slash).c_str(), 0755);
  }
  FILE* f = fopen(file.c_str(), "w");
  if (f == nullptr) return false;
  const bool written = fwrite(text.data(), 1, text.size(), f) == text.size();
  return fclose(f) == 0 && written;
}
