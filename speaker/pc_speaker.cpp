#include "speaker/pc_speaker.h"

#include <linux/input-event-codes.h>

#include <utility>

#include "base/small_file.h"
#include "base/text.h"
#include "modules/module_loader.h"

namespace {

constexpr char kSpeakerName[] = "PC Speaker";

}  // namespace

std::string speakerEventDevice(KernelFiles& files) {
  // /sys/class/input holds each input device (inputN, with its name) and,
  // inside it, the event device (eventM) the event handler made for it.
  const std::string inputs = files.file("/sys/class/input");
  for (const std::string& input : folderEntries(inputs)) {
    if (!startsWith(input, "input")) continue;
    const std::string folder = inputs + "/" + input;
    if (readFileLine(folder + "/name") != kSpeakerName) continue;
    for (const std::string& entry : folderEntries(folder)) {
      if (startsWith(entry, "event")) return "/dev/input/" + entry;
    }
  }
  return std::string();
}

PcSpeaker::PcSpeaker(KernelFiles& files, KernelSystem& system,
                     KernelDevices& devices, std::string moduleRoot)
    : files_(files),
      system_(system),
      devices_(devices),
      moduleRoot_(std::move(moduleRoot)) {}

bool PcSpeaker::open() {
  if (!files_.isImageInit()) return false;
  files_.mountSys();
  loadDrivers(files_, system_, moduleRoot_, isSpeakerModule);
  devices_.mountDevices();
  const std::string device = speakerEventDevice(files_);
  if (device.empty()) return false;
  int error = 0;
  device_ = devices_.openInputDevice(device, &error);
  return present();
}

void PcSpeaker::tone(unsigned hertz) {
  if (device_ == nullptr) return;
  // A speaker that refuses a tone is no reason to stop anything: the beeps
  // are a courtesy.
  device_->send(EV_SND, SND_TONE, static_cast<int32_t>(hertz));
  device_->send(EV_SYN, SYN_REPORT, 0);
}
