// The kernel seam, devices role: the character devices the program writes
// to, from /dev, which the kernel fills itself (devtmpfs) once it is
// mounted there: the first serial port, which carries a run's event lines,
// and the PC speaker's input device, which sounds tones. Finding the
// speaker's device is a files-role read of /sys/class/input; its driver
// comes through the process role's module loading.
//
// Failure convention: a device that cannot be opened gives null and the
// error number; a write that fails returns false. Nothing here waits long:
// a port that does not drain is given up on, a speaker never waits.
#ifndef CELLCHECK_SEAM_DEVICES_H_
#define CELLCHECK_SEAM_DEVICES_H_

#include <cstdint>
#include <memory>
#include <string>

// A serial port, opened to write lines of text at 115200 baud, 8N1,
// without flow control (a port with nothing connected must not hold the
// program up), and with each line feed sent as CR LF, as a terminal and
// the console on the same port expect.
class SerialLine {
 public:
  virtual ~SerialLine() = default;
  // Writes `text`, in one write where the port's buffer has room for it,
  // so that nothing another writer of the port sends lands inside it.
  // Waits at most kMaxWaitMilliseconds for the buffer to take it; false
  // when it did not take all of it by then, or the port failed.
  virtual bool write(const std::string& text) = 0;

  // A line of 480 bytes takes 42 ms at 115200 baud; a port that has not
  // taken one in this long is stuck.
  static constexpr unsigned kMaxWaitMilliseconds = 2000;
};

// An input device of the kernel (/dev/input/eventN), written to: each
// event is one struct input_event, and the driver acts on it at once.
class InputEvents {
 public:
  virtual ~InputEvents() = default;
  // One event: its type (EV_SND, EV_SYN, ...), code and value. False when
  // the device refused it.
  virtual bool send(uint16_t type, uint16_t code, int32_t value) = 0;
};

class KernelDevices {
 public:
  virtual ~KernelDevices() = default;

  // Mounts the kernel's device file system on /dev (its nodes of the
  // console and /dev/null stand where the image's own did); a second call
  // finds it there.
  virtual void mountDevices() = 0;
  // The serial port at `device` (such as /dev/ttyS0). A port the machine
  // does not have fails to open (EIO or ENOENT).
  virtual std::unique_ptr<SerialLine> openSerialPort(const std::string& device,
                                                     int* error) = 0;
  // The input device at `device` (such as /dev/input/event3), to write to.
  virtual std::unique_ptr<InputEvents> openInputDevice(
      const std::string& device, int* error) = 0;
};

#endif  // CELLCHECK_SEAM_DEVICES_H_
