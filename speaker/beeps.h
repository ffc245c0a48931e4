// The beeps, for a person within earshot rather than in front of the
// screen: a short tone when the first bad memory turns up, and at the
// verdict one tone for PASS, three for FAIL.
//
// The first tone is a piece of the step between tests: it starts in one
// step and ends in the first later step once it has sounded
// kErrorMilliseconds, so that no test waits for it (a long test in between
// draws it out). Only the verdict's pattern, after the last test, is played
// through, with short pauses.
#ifndef CELLCHECK_SPEAKER_BEEPS_H_
#define CELLCHECK_SPEAKER_BEEPS_H_

#include "badmem/bad_memory.h"
#include "base/between_tests_work.h"
#include "base/types.h"
#include "seam/system.h"
#include "speaker/pc_speaker.h"

class Beeps : public BetweenTestsWork {
 public:
  Beeps(PcSpeaker& speaker, const BadMemory& record, KernelSystem& system)
      : speaker_(speaker), record_(record), system_(system) {}

  // Ends the first tone once it has sounded long enough; starts it when
  // the record first holds anything bad (an error, a pre-test mismatch, a
  // range of the kernel's early check, a machine check, an ECC count).
  bool betweenTests() override;
  // The verdict's pattern, played whole: the first tone, if it still
  // sounds, ends after its time first.
  void verdict(bool pass);

  static constexpr unsigned kErrorHertz = 2000;
  static constexpr unsigned kErrorMilliseconds = 250;
  static constexpr unsigned kPassHertz = 1000;
  static constexpr unsigned kPassMilliseconds = 600;
  static constexpr unsigned kFailHertz = 500;
  static constexpr unsigned kFailMilliseconds = 300;
  static constexpr int kFailTones = 3;
  // Between two tones of a pattern, and before the verdict's pattern.
  static constexpr unsigned kPauseMilliseconds = 200;

 private:
  void start(unsigned hertz);
  void stop();
  // Sounds `hertz` for `milliseconds`, waiting.
  void play(unsigned hertz, unsigned milliseconds);

  PcSpeaker& speaker_;
  const BadMemory& record_;
  KernelSystem& system_;
  bool beeped_ = false;
  bool sounding_ = false;
  u64 startedAt_ = 0;
};

#endif  // CELLCHECK_SPEAKER_BEEPS_H_
