// A harmless stand-in for the tester, run in the sandbox before the tester
// itself: it tries each thing the tester's start-up does to the machine, in a
// way that changes nothing even where it succeeds, and prints what happened,
// one "probe: key=value" line each.
//
// - pid, uid: PID 1 and root inside the sandbox.
// - mount-proc: a /proc of the sandbox's own can be mounted.
// - tunable: each memory tunable is opened for writing, never written.
// - klogctl: the console log level is set to the value it already has.
// - memory-stop-mib: a child touches memory until the cgroup stops it, counting
//   whole MiB in shared memory, as the tester's measuring child does.
#include <errno.h>
#include <fcntl.h>
#include <sys/klog.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "seam/tunables.h"

namespace {

const char* outcome(int result) { return result == 0 ? "ok" : strerror(errno); }

void probeTunables() {
  for (const Tunable& tunable : kTunables) {
    // No O_TRUNC: nothing is written.
    const int fd = open(tunable.path, O_WRONLY);
    printf("probe: tunable %s=%s\n", tunable.path, outcome(fd < 0 ? -1 : 0));
    if (fd >= 0) close(fd);
  }
}

void probeConsoleLevel() {
  int level = -1;
  FILE* printk = fopen("/proc/sys/kernel/printk", "r");
  if (printk == nullptr || fscanf(printk, "%d", &level) != 1) {
    printf("probe: klogctl=unknown level\n");
  } else {
    const int result = klogctl(8, nullptr, level);  // console level
    printf("probe: klogctl=%s\n", outcome(result < 0 ? -1 : 0));
  }
  if (printk != nullptr) fclose(printk);
}

void probeMemoryLimit(unsigned long long limitMiB) {
  auto* mib = static_cast<volatile unsigned long long*>(mmap(
      nullptr, 8, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  *mib = 0;
  fflush(stdout);
  const pid_t child = fork();
  if (child == 0) {
    for (;;) {
      char* block = static_cast<char*>(malloc(1 << 20));
      if (block == nullptr) _exit(1);
      memset(block, 1, 1 << 20);
      *mib = *mib + 1;
      if (*mib > 2 * limitMiB) _exit(2);  // not stopped: the limit is missing
    }
  }
  int status = 0;
  waitpid(child, &status, 0);
  printf("probe: memory-stop-mib=%llu killed=%s\n", *mib,
         WIFSIGNALED(status) ? strsignal(WTERMSIG(status)) : "no");
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  printf("probe: pid=%d\n", static_cast<int>(getpid()));
  // Anywhere but as PID 1 of a sandbox, the mount below would cover the
  // host's /proc.
  if (getpid() != 1) return 1;
  printf("probe: uid=%d\n", static_cast<int>(getuid()));
  printf("probe: mount-proc=%s\n",
         outcome(mount("/proc", "/proc", "proc", 0, "")));
  char self[32] = "";
  if (readlink("/proc/self", self, sizeof self - 1) < 0) strcpy(self, "?");
  printf("probe: proc-self=%s\n", self);
  probeTunables();
  probeConsoleLevel();
  if (argc > 1) probeMemoryLimit(strtoull(argv[1], nullptr, 10));
  return 0;
}
