#include "net/udhcpc_client.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "net/lease_script.h"
#include "tests/support/fake_kernel.h"
#include "tests/support/temp_folder.h"

namespace {

class DhcpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"lo", "eth1", "eth0"}) {
      kernel.putFile(std::string("/sys/class/net/") + name + "/address",
                     "52:54:00:12:34:56\n");
    }
  }

  FakeKernel kernel;
  TempFolder leases{"leases"};
  UdhcpcClient client{kernel, kernel, "/bin/busybox", "/init", leases.path()};
};

// One udhcpc a network interface, loopback left out, each told where the
// event script leaves its lease.
TEST_F(DhcpTest, StartsOneClientPerInterfaceButLoopback) {
  EXPECT_EQ(client.start(), (std::vector<std::string>{"eth0", "eth1"}));
  EXPECT_EQ(kernel.madeFolders, std::vector<std::string>{leases.path()});
  ASSERT_EQ(kernel.children.size(), 2u);
  const ChildProgram& first = kernel.children[0];
  EXPECT_EQ(first.path, "/bin/busybox");
  EXPECT_EQ(first.args, (std::vector<std::string>{
                            "udhcpc", "-f", "-i", "eth0", "-O", "7", "-s",
                            "/init", "-t", "3", "-T", "3", "-A", "10"}));
  EXPECT_EQ(first.environment, std::vector<std::string>{
                                   "CELLCHECK_LEASE_FOLDER=" + leases.path()});

  FakeKernel broken;
  broken.putFile("/sys/class/net/eth0/address", "52:54:00:12:34:56\n");
  broken.childError = ENOENT;
  UdhcpcClient none(broken, broken, "/bin/busybox", "/init", leases.path());
  EXPECT_TRUE(none.start().empty()) << "no client could be started";
}

// The first interface with a lease carries the events; the other clients
// are stopped.
TEST_F(DhcpTest, TheFirstLeaseWinsAndTheOtherClientsStop) {
  client.start();
  Lease lease;
  EXPECT_FALSE(client.lease(&lease));
  ASSERT_TRUE(leases.write("eth1", "interface=eth1\naddress=10.99.0.51\n"));
  ASSERT_TRUE(client.lease(&lease));
  EXPECT_EQ(lease.address, "10.99.0.51");
  EXPECT_EQ(kernel.stoppedChildren, std::vector<pid_t>{1000});
  // From then on only that interface counts.
  ASSERT_TRUE(leases.write("eth0", "interface=eth0\naddress=10.99.0.50\n"));
  ASSERT_TRUE(client.lease(&lease));
  EXPECT_EQ(lease.interface, "eth1");
}

// The event script: the lease's addresses go to the interface and the lease
// to its file; deconfig clears both.
TEST_F(DhcpTest, TheEventScriptSetsTheInterfaceAndKeepsTheLease) {
  setenv("CELLCHECK_LEASE_FOLDER", leases.path().c_str(), 1);
  setenv("interface", "eth0", 1);
  setenv("ip", "10.99.0.50", 1);
  setenv("subnet", "255.255.255.0", 1);
  setenv("router", "10.99.0.1", 1);
  setenv("logsrv", "10.99.0.1", 1);
  EXPECT_EQ(runLeaseScript(kernel, kernel, "bound"), 0);
  ASSERT_EQ(kernel.interfaceSetups.size(), 1u);
  const InterfaceSetup& setup = kernel.interfaceSetups[0];
  EXPECT_EQ(setup.interface, "eth0");
  EXPECT_EQ(setup.address, "10.99.0.50");
  EXPECT_EQ(setup.netmask, "255.255.255.0");
  EXPECT_EQ(setup.broadcast, "");
  EXPECT_EQ(setup.router, "10.99.0.1");
  const std::string file = leases.path() + "/eth0";
  EXPECT_EQ(access(file.c_str(), F_OK), 0);

  EXPECT_EQ(runLeaseScript(kernel, kernel, "leasefail"), 0);
  EXPECT_EQ(kernel.interfaceSetups.size(), 1u) << "changes nothing";
  EXPECT_EQ(runLeaseScript(kernel, kernel, "deconfig"), 0);
  EXPECT_EQ(kernel.clearedInterfaces, std::vector<std::string>{"eth0"});
  EXPECT_NE(access(file.c_str(), F_OK), 0);
  for (const char* name : {"CELLCHECK_LEASE_FOLDER", "interface", "ip",
                           "subnet", "router", "logsrv"}) {
    unsetenv(name);
  }
}

// The event script names the lease file after udhcpc's interface variable:
// a name that is none the kernel gives reaches no file outside the folder.
TEST_F(DhcpTest, TheEventScriptTakesNoInterfaceNameThatLeavesItsFolder) {
  ASSERT_TRUE(leases.write("outside", "kept\n"));
  ASSERT_TRUE(leases.write("folder/.keep", ""));
  const std::string folder = leases.path() + "/folder";
  setenv("CELLCHECK_LEASE_FOLDER", folder.c_str(), 1);
  setenv("interface", "../outside", 1);
  EXPECT_EQ(runLeaseScript(kernel, kernel, "deconfig"), 1);
  EXPECT_EQ(access((leases.path() + "/outside").c_str(), F_OK), 0);
  EXPECT_TRUE(kernel.clearedInterfaces.empty());
  unsetenv("CELLCHECK_LEASE_FOLDER");
  unsetenv("interface");
}

}  // namespace
