// The devices role on Linux: /dev from devtmpfs, the serial port's lines,
// and events written to an input device.
#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "platform/linux_calls.h"
#include "platform/linux_kernel.h"

namespace {

// Never blocking: a write the port's buffer cannot take at once waits in
// poll, for a bounded time.
class SerialPort : public SerialLine {
 public:
  explicit SerialPort(int fd) : fd_(fd) {}
  ~SerialPort() override { close(fd_); }
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  bool write(const std::string& text) override {
    const u64 deadline = monotonicMilliseconds() + kMaxWaitMilliseconds;
    size_t done = 0;
    while (done < text.size()) {
      const ssize_t wrote =
          ::write(fd_, text.data() + done, text.size() - done);
      if (wrote > 0) {
        done += static_cast<size_t>(wrote);
        continue;
      }
      if (wrote < 0 && errno == EINTR) continue;
      if (wrote < 0 && errno != EAGAIN) return false;
      const u64 now = monotonicMilliseconds();
      if (now >= deadline) return false;
      pollfd ready{fd_, POLLOUT, 0};
      poll(&ready, 1, static_cast<int>(deadline - now));
    }
    return true;
  }

 private:
  int fd_;
};

class InputDevice : public InputEvents {
 public:
  explicit InputDevice(int fd) : fd_(fd) {}
  ~InputDevice() override { close(fd_); }
  InputDevice(const InputDevice&) = delete;
  InputDevice& operator=(const InputDevice&) = delete;

  bool send(uint16_t type, uint16_t code, int32_t value) override {
    // The kernel stamps injected events itself; the time is left zero.
    input_event event{};
    event.type = type;
    event.code = code;
    event.value = value;
    return ::write(fd_, &event, sizeof event) ==
           static_cast<ssize_t>(sizeof event);
  }

 private:
  int fd_;
};

// 115200 baud 8N1, as the boot menu and the kernel's console= set the
// port; no modem lines or flow control, so that a port with nothing on it
// takes the lines all the same; line feeds sent as CR LF. On the port that
// is the console already, this changes nothing.
void setLineDiscipline(int fd) {
  termios settings{};
  if (tcgetattr(fd, &settings) != 0) return;
  cfsetispeed(&settings, B115200);
  cfsetospeed(&settings, B115200);
  settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  settings.c_cflag |= CS8 | CLOCAL | CREAD;
  settings.c_oflag |= OPOST | ONLCR;
  tcsetattr(fd, TCSANOW, &settings);
}

}  // namespace

void LinuxKernel::mountDevices() {
  if (devicesMounted_) return;
  mkdir("/dev", 0755);
  // The kernel mounts it itself only for a root file system on a disk, not
  // for an initramfs. Mounted there already is as good.
  devicesMounted_ =
      mount("devtmpfs", "/dev", "devtmpfs", MS_NOSUID | MS_NOEXEC, "") == 0 ||
      errno == EBUSY;
}

std::unique_ptr<SerialLine> LinuxKernel::openSerialPort(
    const std::string& device, int* error) {
  // Not the controlling terminal of the first process, which would then
  // get the port's hang-ups.
  const int fd =
      open(device.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = errno;
    return nullptr;
  }
  setLineDiscipline(fd);
  *error = 0;
  return std::unique_ptr<SerialLine>(new SerialPort(fd));
}

std::unique_ptr<InputEvents> LinuxKernel::openInputDevice(
    const std::string& device, int* error) {
  const int fd = open(device.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = errno;
    return nullptr;
  }
  *error = 0;
  return std::unique_ptr<InputEvents>(new InputDevice(fd));
}
