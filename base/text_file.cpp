#include "base/text_file.h"

#include <cstdio>

std::string readTextFile(const std::string& path) {
  std::string text;
  FILE* file = fopen(path.c_str(), "r");
  if (file == nullptr) return text;
  char buffer[4096];
  for (size_t got; (got = fread(buffer, 1, sizeof buffer, file)) > 0;) {
    text.append(buffer, got);
  }
  fclose(file);
  return text;
}
