#include "base/small_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

namespace {

bool isBlank(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }

}  // namespace

std::string readSmallFile(const std::string& path) {
  std::string text;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char buffer[4096];
  for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;) {
    text.append(buffer, static_cast<size_t>(got));
  }
  close(fd);
  return text;
}

std::string readFileLine(const std::string& path) {
  std::string text = readSmallFile(path);
  while (!text.empty() && isBlank(text.back())) text.pop_back();
  return text;
}

bool readFileLine(const char* path, char* out, size_t size) {
  if (size == 0) return false;
  out[0] = '\0';
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  size_t length = 0;
  ssize_t got = 0;
  while (length < size - 1 &&
         (got = read(fd, out + length, size - 1 - length)) > 0) {
    length += static_cast<size_t>(got);
  }
  close(fd);
  if (got < 0) return false;
  while (length > 0 && isBlank(out[length - 1])) --length;
  out[length] = '\0';
  return true;
}

std::vector<std::string> folderEntries(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}
