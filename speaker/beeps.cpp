#include "speaker/beeps.h"

bool Beeps::betweenTests() {
  if (!speaker_.present()) return true;
  if (sounding_ && system_.milliseconds() - startedAt_ >= kErrorMilliseconds) {
    stop();
  }
  if (!beeped_ && record_.totals().anyBad()) {
    beeped_ = true;
    start(kErrorHertz);
  }
  return true;
}

void Beeps::verdict(bool pass) {
  if (!speaker_.present()) return;
  if (sounding_) {
    const u64 sounded = system_.milliseconds() - startedAt_;
    if (sounded < kErrorMilliseconds) {
      system_.sleepMilliseconds(
          static_cast<unsigned>(kErrorMilliseconds - sounded));
    }
    stop();
    system_.sleepMilliseconds(kPauseMilliseconds);
  }
  if (pass) {
    play(kPassHertz, kPassMilliseconds);
    return;
  }
  for (int tone = 0; tone < kFailTones; ++tone) {
    if (tone != 0) system_.sleepMilliseconds(kPauseMilliseconds);
    play(kFailHertz, kFailMilliseconds);
  }
}

void Beeps::start(unsigned hertz) {
  speaker_.tone(hertz);
  sounding_ = true;
  startedAt_ = system_.milliseconds();
}

void Beeps::stop() {
  speaker_.tone(0);
  sounding_ = false;
}

void Beeps::play(unsigned hertz, unsigned milliseconds) {
  start(hertz);
  system_.sleepMilliseconds(milliseconds);
  stop();
}
