// The temperatures of the processors and the memory modules, as Linux's
// hardware-monitoring drivers show them under /sys/class/hwmon: one folder
// (hwmonN) per chip, its driver's name in `name`, each temperature in
// millidegrees Celsius in tempK_input, with tempK_label and tempK_crit where
// the chip has them. Four drivers matter here: k10temp (AMD processors, one
// chip per processor package), coretemp (Intel, one per package), spd5118
// (the sensor of a DDR5 module) and jc42 (a DDR4 module's sensor); the
// other chips of the machine (graphics cards, disks, the board) are left
// alone.
//
// scan() finds the sensors once, at start-up (it allocates); refresh()
// reads each into the same fixed table, keeps the highest reading,
// and says which memory modules reached their critical limit, without
// allocating: it runs between tests, with the test area taken. Every file
// is read through the kernel seam's paths, with the one small-file reader
// (base/small_file.h).
#ifndef CELLCHECK_SENSORS_TEMPERATURE_SENSORS_H_
#define CELLCHECK_SENSORS_TEMPERATURE_SENSORS_H_

#include "base/fixed_table.h"
#include "base/types.h"
#include "seam/files.h"

enum class SensorKind { kProcessor, kMemoryModule };

struct TemperatureSensor {
  SensorKind kind;
  // How the lines name it, printable ASCII only: "CPU", "CPU 1", "memory
  // module 2 on SMBus 0" (the module's position, 0 to 7, on its bus: the
  // low three bits of its sensor's address), or the chip's own label.
  char name[64];
  char input[256];  // the temperature file it is read from
  // Memory modules: the limit that counts (the chip's tempK_crit, or
  // kDefaultCriticalMilli where it gives none that makes sense).
  int criticalMilli;
  bool readable;  // the last reading succeeded
  bool everRead;
  int nowMilli;      // the last good reading
  int highestMilli;  // the highest good reading so far
  // At or above its critical limit, and not yet back below it by the
  // hysteresis: a new crossing counts only after that.
  bool atLimit;
  u64 crossings;  // times it reached its critical limit
};

// What the sensors of one kind say together: how many there are, how many
// gave a reading, and the lowest and highest of those readings (of their
// highest so far, for kHighest), in whole degrees.
struct TemperatureSpan {
  int sensors = 0;
  int read = 0;
  int lowest = 0;
  int highest = 0;
};

enum class Reading { kNow, kHighest };

class TemperatureSensors {
 public:
  // Eight processor packages and sixteen memory modules on each of eight
  // buses fit.
  static constexpr int kMaxSensors = 136;
  // Where a memory module's sensor gives no critical limit, or one below
  // kLowestCriticalMilli (a JC-42.4 chip's limit register reads 0 until the
  // firmware sets it): the highest temperature JEDEC's modules are made
  // for in normal operation.
  static constexpr int kDefaultCriticalMilli = 85000;
  static constexpr int kLowestCriticalMilli = 40000;
  // A module that reached its limit counts again only once it has been
  // this far below it: a reading that wavers at the limit is one crossing.
  static constexpr int kHysteresisMilli = 2000;
  // Readings outside these are no reading: a chip answering garbage, or a
  // driver that bound to the wrong chip.
  static constexpr int kLowestMilli = -50000;
  static constexpr int kHighestMilli = 150000;

  explicit TemperatureSensors(KernelFiles& kernel) : kernel_(kernel) {}
  TemperatureSensors(const TemperatureSensors&) = delete;
  TemperatureSensors& operator=(const TemperatureSensors&) = delete;

  // Finds the sensors, the processors first, then the memory modules, each
  // in the order of their folders; refresh() gives their first readings.
  // /sys must be mounted, the drivers loaded.
  void scan();
  // Reads every sensor again. Writes the index of each memory module that
  // has just reached its critical limit to `crossed` (at most `max`) and
  // returns how many did, which may be more than `max`. A sensor that
  // cannot be read (or has gone) keeps its highest reading.
  int refresh(int* crossed, int max);

  int size() const { return sensors_.size(); }
  const TemperatureSensor& operator[](int i) const { return sensors_[i]; }
  int notWatched() const { return static_cast<int>(sensors_.notKept()); }
  TemperatureSpan span(SensorKind kind, Reading reading) const;
  // Memory modules that reached their critical limit at least once.
  int modulesThatReachedTheirLimit() const;

 private:
  // Reads sensor `i`; true when it has just reached its limit.
  bool read(int i);

  KernelFiles& kernel_;
  FixedTable<TemperatureSensor, kMaxSensors> sensors_;
};

// Millidegrees to whole degrees, halves away from zero.
int wholeDegrees(int milli);

#endif  // CELLCHECK_SENSORS_TEMPERATURE_SENSORS_H_
