// The PC speaker as Linux drives it: the pcspkr driver makes it an input
// device named "PC Speaker", which takes sound events (EV_SND): SND_TONE
// with a pitch in Hz starts a tone, SND_TONE 0 ends it. A tone sounds
// until it is ended; nothing in the kernel times it.
#ifndef CELLCHECK_SPEAKER_PC_SPEAKER_H_
#define CELLCHECK_SPEAKER_PC_SPEAKER_H_

#include <memory>
#include <string>

#include "seam/devices.h"
#include "seam/files.h"
#include "seam/system.h"

class PcSpeaker {
 public:
  // `moduleRoot`: the image's /lib/modules.
  PcSpeaker(KernelFiles& files, KernelSystem& system, KernelDevices& devices,
            std::string moduleRoot);

  // Once at start-up, while the image's module files are there: on the
  // image's own boot, loads the speaker's drivers, mounts /dev and opens
  // the speaker's event device. False, and silent, when there is none:
  // many machines have no speaker, and that is no error. Elsewhere (the
  // fault lab's sandbox) it never touches a host's drivers or devices.
  bool open();
  bool present() const { return device_ != nullptr; }

  // Starts a tone of `hertz`, or ends the one sounding (0). Without a
  // speaker, nothing.
  void tone(unsigned hertz);

 private:
  KernelFiles& files_;
  KernelSystem& system_;
  KernelDevices& devices_;
  std::string moduleRoot_;
  std::unique_ptr<InputEvents> device_;
};

// The device file (such as /dev/input/event3) of the input device named
// "PC Speaker", found in /sys/class/input; empty when there is none.
std::string speakerEventDevice(KernelFiles& files);

#endif  // CELLCHECK_SPEAKER_PC_SPEAKER_H_
