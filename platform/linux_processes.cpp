// The process and system role on Linux: the machine's figures, the clocks,
// the console's log level, kernel modules, the children that run beside the
// tests, and power-off.
#include <fcntl.h>
#include <linux/module.h>
#include <signal.h>
#include <sys/klog.h>
#include <sys/reboot.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/linux_calls.h"
#include "platform/linux_kernel.h"

namespace {

// klogctl actions.
constexpr int kSyslogConsoleOn = 7;
constexpr int kSyslogConsoleLevel = 8;

}  // namespace

u64 monotonicMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<u64>(now.tv_sec) * 1000 +
         static_cast<u64>(now.tv_nsec) / 1000000;
}

bool LinuxKernel::isInit() { return getpid() == 1; }

u64 LinuxKernel::physPages() {
  return static_cast<u64>(sysconf(_SC_PHYS_PAGES));
}

u64 LinuxKernel::pageSize() { return pageBytes_; }

time_t LinuxKernel::now() { return time(nullptr); }

u64 LinuxKernel::milliseconds() { return monotonicMilliseconds(); }

int LinuxKernel::setConsoleLogLevel(int level) {
  if (klogctl(kSyslogConsoleLevel, nullptr, level) != 0) return errno;
  return klogctl(kSyslogConsoleOn, nullptr, 0) == 0 ? 0 : errno;
}

int LinuxKernel::loadModule(const char* modulePath) {
  const int fd = open(modulePath, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  // A compressed module (Debian 13's are module.ko.xz) the kernel unpacks
  // itself, and checks its signature on what it unpacked.
  const bool compressed = strstr(modulePath, ".ko.") != nullptr;
  // The C library has no wrapper for finit_module.
  const long loaded = syscall(SYS_finit_module, fd, "",
                              compressed ? MODULE_INIT_COMPRESSED_FILE : 0);
  const int error = loaded == 0 ? 0 : errno;
  close(fd);
  return error;
}

int LinuxKernel::startChild(const ChildProgram& program, pid_t* child) {
  if (access(program.path.c_str(), X_OK) != 0) return errno;
  // Everything the child needs is made before the fork: after it, the
  // child only calls what is safe there.
  std::vector<char*> args;
  for (const std::string& arg : program.args) {
    args.push_back(const_cast<char*>(arg.c_str()));
  }
  args.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) return errno;
  if (pid == 0) {
    const int quiet = open("/dev/null", O_RDWR);
    if (quiet >= 0) {
      dup2(quiet, STDIN_FILENO);
      dup2(quiet, STDOUT_FILENO);
      dup2(quiet, STDERR_FILENO);
    }
    for (const std::string& entry : program.environment) {
      putenv(const_cast<char*>(entry.c_str()));
    }
    execv(program.path.c_str(), args.data());
    _exit(127);
  }
  const std::string score = "/proc/" + std::to_string(pid) + "/oom_score_adj";
  const int adjust = open(score.c_str(), O_WRONLY | O_CLOEXEC);
  if (adjust >= 0) {
    // -1000: never chosen.
    if (write(adjust, "-1000", 5) != 5) {
      // The child runs unshielded; nothing better to do.
    }
    close(adjust);
  }
  *child = pid;
  return 0;
}

int LinuxKernel::stopChild(pid_t child) {
  return errorOf(kill(child, SIGTERM));
}

void LinuxKernel::reapChildren() {
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
}

void LinuxKernel::sleepMilliseconds(unsigned milliseconds) {
  usleep(static_cast<useconds_t>(milliseconds) * 1000);
}

int LinuxKernel::powerOff() {
  sync();
  return errorOf(reboot(RB_POWER_OFF));
}
