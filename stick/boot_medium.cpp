#include "stick/boot_medium.h"

#include <sstream>

#include "base/text.h"

BootMedium bootMediumOf(const std::string& cmdline) {
  std::istringstream words(cmdline);
  std::string word;
  std::string image;
  bool namesInitramfs = false;
  while (words >> word) {
    if (startsWith(word, "BOOT_IMAGE=")) image = word.substr(11);
    if (startsWith(word, "initrd=")) namesInitramfs = true;
  }
  if (image.empty()) {
    return namesInitramfs ? BootMedium::kNetwork : BootMedium::kUnknown;
  }
  if (image[0] != '(') return BootMedium::kUnknown;
  const std::string device = image.substr(1, image.find_first_of(",)") - 1);
  if (device == "cd") return BootMedium::kCd;
  if (startsWith(device, "cd")) return BootMedium::kRemovable;
  if (startsWith(device, "hd")) return BootMedium::kDisk;
  if (device == "tftp" || device == "http" || device == "pxe")
    return BootMedium::kNetwork;
  return BootMedium::kUnknown;
}
