// Runs one program as PID 1 of its own user, PID and mount namespaces, inside
// a memory cgroup of its own with a limit: a fenced-off slice of this machine
// in which a program written to own a whole PC can run at native speed.
//
//   lab_sandbox --memory BYTES [--pidfile FILE] [--cpus N] -- PROGRAM [ARG...]
//
// With --cpus the program may run on the first N of this process's CPUs
// only, as on a machine of N CPUs (it tests with one worker per CPU it may
// run on).
//
// Root inside maps to an unprivileged user outside (nobody), and the process
// takes that user for real before it runs the program, so the kernel tunables,
// the kernel log and every host file stay out of its reach; its mounts stay in
// its own namespace. The host PID of the sandboxed PID 1 goes to FILE, for the
// fault injector. The exit status is the program's (128 + signal when killed);
// 77 when this machine cannot make the sandbox.
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

#include "lab/memory_cgroup.h"

namespace {

constexpr int kCannotSandbox = 77;
// The host user that root inside the sandbox is: nobody.
constexpr unsigned kOutsideId = 65534;

struct Options {
  unsigned long long memoryBytes = 0;
  std::string pidFile;
  unsigned cpus = 0;           // 0: every CPU this process may run on
  std::vector<char*> command;  // null-terminated
};

int complain(int status, const std::string& what) {
  fprintf(stderr, "lab_sandbox: %s\n", what.c_str());
  return status;
}

Options parseOptions(int argc, char** argv) {
  Options options;
  int i = 1;
  for (; i < argc && strcmp(argv[i], "--") != 0; ++i) {
    const std::string arg = argv[i];
    if (arg == "--memory" && i + 1 < argc) {
      options.memoryBytes = strtoull(argv[++i], nullptr, 10);
    } else if (arg == "--pidfile" && i + 1 < argc) {
      options.pidFile = argv[++i];
    } else if (arg == "--cpus" && i + 1 < argc) {
      options.cpus = static_cast<unsigned>(strtoul(argv[++i], nullptr, 10));
    } else {
      complain(2, "unknown option " + arg);
      exit(2);
    }
  }
  for (++i; i < argc; ++i) options.command.push_back(argv[i]);
  options.command.push_back(nullptr);
  if (options.memoryBytes == 0 || options.command.size() < 2) {
    complain(2,
             "usage: lab_sandbox --memory BYTES [--pidfile FILE] [--cpus N] "
             "-- PROGRAM [ARG...]");
    exit(2);
  }
  return options;
}

bool writeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path);
  out << text;
  out.close();
  return static_cast<bool>(out);
}

struct ChildSetup {
  int programFd;
  int releaseFd;  // read end: the child waits for EOF before it goes on
  int holdFd;     // write end, the parent's: the child's copy is closed
  char** argv;
};

// Runs in the new namespaces. Until the parent has written the id maps, moved
// it into the cgroup and closed the pipe, this process still holds the host's
// root user id; it must not run the program before it has given that up.
int childMain(void* arg) {
  const ChildSetup* setup = static_cast<const ChildSetup*>(arg);
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  close(setup->holdFd);
  char byte;
  while (read(setup->releaseFd, &byte, 1) > 0) {
  }
  close(setup->releaseFd);
  if (setresgid(0, 0, 0) != 0 || setresuid(0, 0, 0) != 0) {
    perror("lab_sandbox: cannot become root of the sandbox");
    return kCannotSandbox;
  }
  // Copied mounts start as slaves of the host's; private ones receive no
  // host mount events either.
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    perror("lab_sandbox: cannot make the mounts private");
    return kCannotSandbox;
  }
  // On its own machine the program's two output streams are one console.
  dup2(STDOUT_FILENO, STDERR_FILENO);
  char path[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
  char* env[] = {path, nullptr};
  syscall(SYS_execveat, setup->programFd, "", setup->argv, env, AT_EMPTY_PATH);
  perror("lab_sandbox: cannot run the program");
  return 127;
}

pid_t sandboxPid = 0;

void killSandbox(int) {
  if (sandboxPid > 0) kill(sandboxPid, SIGKILL);
}

void killOnSignals() {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = killSandbox;
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaction(sig, &action, 0);
}

// Everything after the cgroup exists; returns the exit status, so that the
// cgroup is removed on every path.
int runInSandbox(const Options& options, int programFd, MemoryCgroup& cgroup) {
  // No host group may follow the program in: root's supplementary groups
  // would keep their host ids inside.
  if (setgroups(0, nullptr) != 0)
    return complain(kCannotSandbox, "cannot drop groups");
  // The peer locks its buffer where it may. This machine grants locking only
  // a few MiB and no way to raise that, which would shrink the peer to those
  // few MiB; with no locking at all it tests its full size, unlocked. There is
  // no swap, so its pages stay in memory all the same.
  const rlimit noLocking = {0, 0};
  setrlimit(RLIMIT_MEMLOCK, &noLocking);

  int release[2];
  if (pipe2(release, O_CLOEXEC) != 0) return complain(1, "cannot make a pipe");
  ChildSetup setup = {programFd, release[0], release[1],
                      const_cast<char**>(options.command.data())};
  static char stack[256 * 1024];
  killOnSignals();
  sandboxPid =
      clone(childMain, stack + sizeof stack,
            CLONE_NEWUSER | CLONE_NEWPID | CLONE_NEWNS | SIGCHLD, &setup);
  if (sandboxPid < 0)
    return complain(kCannotSandbox, "cannot make the namespaces");
  close(release[0]);

  const std::string proc = "/proc/" + std::to_string(sandboxPid) + "/";
  const std::string map = "0 " + std::to_string(kOutsideId) + " 1\n";
  bool ready = writeFile(proc + "setgroups", "deny") &&
               writeFile(proc + "uid_map", map) &&
               writeFile(proc + "gid_map", map) && cgroup.adopt(sandboxPid);
  if (ready && !options.pidFile.empty()) {
    const std::string temp = options.pidFile + ".new";
    ready = writeFile(temp, std::to_string(sandboxPid) + "\n") &&
            rename(temp.c_str(), options.pidFile.c_str()) == 0;
  }
  if (!ready) kill(sandboxPid, SIGKILL);
  close(release[1]);

  int status = 0;
  while (waitpid(sandboxPid, &status, 0) < 0 && errno == EINTR) {
  }
  sandboxPid = 0;
  if (!ready) return complain(1, "cannot set up the sandbox");
  fprintf(stderr, "lab_sandbox: peak %llu bytes, oom kills %llu\n",
          cgroup.peakBytes(), cgroup.oomKills());
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WEXITSTATUS(status);
}

}  // namespace

// Keeps this process, and so the program it starts, on the first `count`
// of its CPUs.
bool keepToCpus(unsigned count) {
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return false;
  cpu_set_t kept;
  CPU_ZERO(&kept);
  for (unsigned cpu = 0, taken = 0; cpu < CPU_SETSIZE && taken < count; ++cpu) {
    if (!CPU_ISSET(cpu, &allowed)) continue;
    CPU_SET(cpu, &kept);
    ++taken;
  }
  return sched_setaffinity(0, sizeof kept, &kept) == 0;
}

int main(int argc, char** argv) {
  const Options options = parseOptions(argc, argv);
  if (geteuid() != 0) return complain(kCannotSandbox, "needs root");
  if (options.cpus != 0 && !keepToCpus(options.cpus)) {
    return complain(1, "cannot keep the program to its CPUs");
  }

  const int programFd = open(options.command[0], O_RDONLY | O_CLOEXEC);
  if (programFd < 0) {
    return complain(1, std::string("cannot open ") + options.command[0]);
  }
  std::string cgroupError;
  MemoryCgroup cgroup(options.memoryBytes, &cgroupError);
  if (!cgroupError.empty()) return complain(kCannotSandbox, cgroupError);
  return runInSandbox(options, programFd, cgroup);
}
