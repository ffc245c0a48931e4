// The processors' and memory modules' temperatures on the console. At
// start-up, once the sensor drivers are loaded, one line says what the
// sensors read; between tests (at most every few seconds; before a verdict
// whatever the spacing) they are read again and each keeps its highest
// reading; a memory module that reaches its critical limit gets a line, once
// each time it does. The summary line of endless testing and the verdict
// show the highest readings. Temperatures never stop or slow the testing.
#ifndef CELLCHECK_CONSOLE_TEMPERATURE_WATCH_H_
#define CELLCHECK_CONSOLE_TEMPERATURE_WATCH_H_

#include <cstddef>
#include <ctime>
#include <string>
#include <vector>

#include "base/between_tests.h"
#include "console/progress_line.h"
#include "seam/files.h"
#include "sensors/temperature_sensors.h"

// What the sensors of both kinds read, as the lines write it: "CPU 41 °C;
// 4 memory modules 33-35 °C", with "; 1 memory module reached its critical
// limit" for `modulesAtLimit`, or "no sensors found". No allocation.
void formatTemperatures(const TemperatureSpan& cpus,
                        const TemperatureSpan& modules, int modulesAtLimit,
                        char* out, size_t size);

class TemperatureWatch : public BetweenTestsWork {
 public:
  TemperatureWatch(KernelFiles& files, Clock now);

  // At start-up, before the memory is measured (/sys mounted, the drivers
  // loaded): finds the sensors, reads them and prints the line, and a line
  // for each memory module that is at its critical limit already.
  void start();
  // Reads the sensors when the last look is kSecondsBetweenLooks old. No
  // allocation.
  void poll();
  // Reads them now, however recent the last look.
  void look();

  bool betweenTests() override {
    poll();
    return true;
  }
  void lastLook() override { look(); }

  // The line beside the summary line: the highest readings so far. Nothing
  // on a machine without sensors. No allocation.
  void printHighest();

  // The start-up line, without its line feed.
  std::string startLine() const;
  // For the report on the boot stick: the readings now, as the start-up
  // line gives them, and the highest so far where there are sensors.
  std::vector<std::string> reportLines() const;

  const TemperatureSensors& sensors() const { return sensors_; }

  static constexpr time_t kSecondsBetweenLooks = 10;
  // Lines printed for one look at most; more crossings are summed up.
  static constexpr int kMaxCrossingLines = 16;

 private:
  void readAndShowCrossings();

  Clock now_;
  TemperatureSensors sensors_;
  bool started_ = false;
  time_t lastLook_ = 0;
};

#endif  // CELLCHECK_CONSOLE_TEMPERATURE_WATCH_H_
