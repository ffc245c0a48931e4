#include "speaker/beeps.h"

#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include <string>
#include <utility>
#include <vector>

#include "speaker/pc_speaker.h"
#include "tests/support/fake_kernel.h"

namespace {

// One tone event as the speaker got it: the pitch (0 ends the tone) and the
// milliseconds() time it came.
struct Tone {
  int32_t hertz;
  u64 at;
  bool operator==(const Tone& other) const {
    return hertz == other.hertz && at == other.at;
  }
};

std::ostream& operator<<(std::ostream& out, const Tone& tone) {
  return out << tone.hertz << " Hz at " << tone.at << " ms";
}

// A machine as the image's first process sees it: a keyboard and the PC
// speaker among the input devices, each with the event device the event
// handler made.
class BeepsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kernel.imageInit = true;
    kernel.putFile("/sys/class/input/input0/name",
                   "AT Translated Set 2 keyboard\n");
    kernel.putFile("/sys/class/input/input0/event0/dev", "13:64\n");
    kernel.putFile("/sys/class/input/input4/name", "PC Speaker\n");
    kernel.putFile("/sys/class/input/input4/event4/dev", "13:68\n");
    kernel.putFile("/sys/class/input/event0/dev", "13:64\n");
    kernel.putFile("/sys/class/input/event4/dev", "13:68\n");
  }

  // The tones, each followed by the report that ends its event packet.
  std::vector<Tone> tones() {
    std::vector<Tone> found;
    const auto& events = kernel.inputEvents;
    for (size_t i = 0; i < events.size(); ++i) {
      EXPECT_EQ(events[i].device, "/dev/input/event4");
      if (events[i].type != EV_SND) continue;
      EXPECT_EQ(events[i].code, SND_TONE);
      EXPECT_TRUE(i + 1 < events.size() && events[i + 1].type == EV_SYN &&
                  events[i + 1].code == SYN_REPORT)
          << "no report after the tone at " << i;
      found.push_back(Tone{events[i].value, events[i].at});
    }
    return found;
  }

  // A test of `milliseconds`, then the step between tests.
  void test(u64 milliseconds) {
    kernel.millisecondClock += milliseconds;
    beeps.betweenTests();
  }

  void error() {
    record.recordPair(ReportedPair{7, 7, 0xf0, 0xf8, 0x1234501c, 0x5234501c});
  }

  FakeKernel kernel;
  PcSpeaker speaker{kernel, kernel, kernel, "/nonexistent/lib/modules"};
  BadMemory record;
  Beeps beeps{speaker, record, kernel};
};

TEST_F(BeepsTest, TheSpeakerIsFoundByItsNameAndOpenedOnce) {
  EXPECT_EQ(speakerEventDevice(kernel), "/dev/input/event4");
  ASSERT_TRUE(speaker.open());
  EXPECT_EQ(kernel.deviceMounts, 1);
  EXPECT_EQ(kernel.openedDevices,
            std::vector<std::string>{"/dev/input/event4"});
}

// The first error's tone starts in the step after the test that found it
// and ends in the first step that comes 250 ms or more later; more errors
// never sound again.
TEST_F(BeepsTest, TheFirstErrorSoundsOnceBetweenTests) {
  ASSERT_TRUE(speaker.open());
  kernel.millisecondClock = 5000;
  test(400);
  error();
  test(400);  // this test found it: the tone starts at 5800 ms
  test(100);
  test(100);  // 200 ms: still on
  error();
  test(100);  // 300 ms: off
  test(60000);
  error();
  test(400);
  EXPECT_EQ(tones(),
            (std::vector<Tone>{{Beeps::kErrorHertz, 5800}, {0, 6100}}));
  EXPECT_TRUE(kernel.sleeps.empty()) << "a step waited for the tone";
}

TEST_F(BeepsTest, TheVerdictSoundsOneToneForPassAndThreeForFail) {
  struct Case {
    const char* name;
    bool pass;
    std::vector<Tone> tones;
  };
  const unsigned pass = Beeps::kPassMilliseconds;
  const unsigned fail = Beeps::kFailMilliseconds;
  const unsigned pause = Beeps::kPauseMilliseconds;
  for (const Case& c : {
           Case{"PASS", true, {{Beeps::kPassHertz, 0}, {0, pass}}},
           Case{"FAIL",
                false,
                {{Beeps::kFailHertz, 0},
                 {0, fail},
                 {Beeps::kFailHertz, fail + pause},
                 {0, 2 * fail + pause},
                 {Beeps::kFailHertz, 2 * fail + 2 * pause},
                 {0, 3 * fail + 2 * pause}}},
       }) {
    SCOPED_TRACE(c.name);
    kernel.inputEvents.clear();
    kernel.millisecondClock = 0;
    PcSpeaker own(kernel, kernel, kernel, "");
    ASSERT_TRUE(own.open());
    Beeps verdictBeeps(own, record, kernel);
    verdictBeeps.verdict(c.pass);
    EXPECT_EQ(tones(), c.tones);
  }
}

// A run that ends right after its first error: the tone sounds its time,
// then the verdict's pattern follows it.
TEST_F(BeepsTest, AFirstToneStillSoundingEndsBeforeTheVerdict) {
  ASSERT_TRUE(speaker.open());
  kernel.millisecondClock = 1000;
  error();
  test(0);
  test(100);
  beeps.verdict(false);
  const std::vector<Tone> heard = tones();
  ASSERT_EQ(heard.size(), 2u + 2 * Beeps::kFailTones);
  EXPECT_EQ(heard[0], (Tone{Beeps::kErrorHertz, 1000}));
  EXPECT_EQ(heard[1], (Tone{0, 1000 + Beeps::kErrorMilliseconds}));
  EXPECT_EQ(heard[2],
            (Tone{Beeps::kFailHertz, heard[1].at + Beeps::kPauseMilliseconds}));
}

// A machine without a speaker, or a speaker that cannot be opened, or a
// first process that is not the image's own: nothing sounds and nothing
// is said, and the host's drivers and devices are left alone.
TEST_F(BeepsTest, WithoutASpeakerNothingSounds) {
  struct Case {
    const char* name;
    void (*set)(FakeKernel&);
  };
  for (const Case& c : {
           Case{"no speaker",
                [](FakeKernel& k) {
                  k.putFile("/sys/class/input/input4/name", "Power Button\n");
                  k.putFile("/sys/class/input/input4/event4/dev", "13:68\n");
                }},
           Case{"no event device",
                [](FakeKernel& k) {
                  k.putFile("/sys/class/input/input4/name", "PC Speaker\n");
                }},
           Case{"refused",
                [](FakeKernel& k) {
                  k.putFile("/sys/class/input/input4/name", "PC Speaker\n");
                  k.putFile("/sys/class/input/input4/event4/dev", "13:68\n");
                  k.deviceErrors["/dev/input/event4"] = EACCES;
                }},
           Case{"not the image",
                [](FakeKernel& k) {
                  k.putFile("/sys/class/input/input4/name", "PC Speaker\n");
                  k.putFile("/sys/class/input/input4/event4/dev", "13:68\n");
                  k.imageInit = false;
                }},
       }) {
    SCOPED_TRACE(c.name);
    FakeKernel machine;
    machine.imageInit = true;
    c.set(machine);
    PcSpeaker none(machine, machine, machine, "");
    EXPECT_FALSE(none.open());
    EXPECT_FALSE(none.present());
    BadMemory bad;
    bad.countPretestMismatch();
    Beeps silent(none, bad, machine);
    EXPECT_TRUE(silent.betweenTests());
    silent.verdict(false);
    EXPECT_TRUE(machine.inputEvents.empty());
    EXPECT_TRUE(machine.sleeps.empty());
    if (!machine.imageInit) {
      EXPECT_EQ(machine.deviceMounts, 0);
      EXPECT_EQ(machine.sysMounts, 0);
      EXPECT_TRUE(machine.openedDevices.empty());
    }
  }
}

}  // namespace
