#include "net/lease_script.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "net/lease.h"

namespace {

TEST(LeaseScriptTest, OnlyAChildStartedAsUdhcpcStartsItsScriptRunsIt) {
  // What udhcpc gives its script: the event as the one argument, the
  // interface and the lease in the environment, beside the lease folder the
  // first process set for it.
  const std::map<std::string, std::string> udhcpc{
      {kLeaseFolderVariable, "/run/cellcheck"},
      {"interface", "eth0"},
      {"ip", "10.0.0.2"}};
  // What the kernel gives init for "bound CELLCHECK_LEASE_FOLDER=/x
  // interface=eth0" on its command line.
  const std::map<std::string, std::string> kernel{{kLeaseFolderVariable, "/x"},
                                                  {"interface", "eth0"}};
  struct Case {
    const char* name;
    pid_t pid;
    std::vector<std::string> arguments;
    std::map<std::string, std::string> environment;
    bool script;
  };
  for (const Case& c : std::vector<Case>{
           {"udhcpc's child", 812, {"/init", "bound"}, udhcpc, true},
           {"udhcpc's child on deconfig",
            812,
            {"/init", "deconfig"},
            udhcpc,
            true},
           {"the first process, however it was started",
            1,
            {"/init", "bound"},
            kernel,
            false},
           {"the first process with udhcpc's whole environment",
            1,
            {"/init", "renew"},
            udhcpc,
            false},
           {"no lease folder",
            812,
            {"/init", "bound"},
            {{"interface", "eth0"}},
            false},
           {"no interface",
            812,
            {"/init", "bound"},
            {{kLeaseFolderVariable, "/run/cellcheck"}},
            false},
           {"not an event", 812, {"/init", "--help"}, udhcpc, false},
           {"two arguments", 812, {"/init", "bound", "renew"}, udhcpc, false},
           {"no argument", 812, {"/init"}, udhcpc, false},
       }) {
    std::vector<char*> argv;
    std::vector<std::string> arguments = c.arguments;
    for (std::string& argument : arguments) argv.push_back(&argument[0]);
    argv.push_back(nullptr);
    const auto get = [&](const char* name) -> const char* {
      const auto found = c.environment.find(name);
      return found == c.environment.end() ? nullptr : found->second.c_str();
    };
    EXPECT_EQ(startedAsLeaseScript(c.pid, static_cast<int>(arguments.size()),
                                   argv.data(), get),
              c.script)
        << c.name;
  }
}

}  // namespace
