#include "net/lease.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

TEST(LeaseTest, TakesTheLeaseFromUdhcpcsVariablesAndKeepsItInAFile) {
  const std::map<std::string, std::string> environment{
      {"interface", "eth0"},
      {"ip", "10.99.0.50"},
      {"subnet", "255.255.255.0"},
      {"broadcast", "10.99.0.255"},
      {"router", "10.99.0.1 10.99.0.2"},
      {"logsrv", "10.99.0.1 10.99.0.3"},
      {"lease", "172800"}};
  auto get = [&](const char* name) -> const char* {
    const auto found = environment.find(name);
    return found == environment.end() ? nullptr : found->second.c_str();
  };
  Lease lease;
  ASSERT_TRUE(leaseFromEnvironment(get, &lease));
  EXPECT_EQ(lease.interface, "eth0");
  EXPECT_EQ(lease.address, "10.99.0.50");
  EXPECT_EQ(lease.netmask, "255.255.255.0");
  EXPECT_EQ(lease.router, "10.99.0.1");
  EXPECT_EQ(lease.logServer, "10.99.0.1");
  EXPECT_EQ(lease.seconds, 172800u);

  Lease read;
  ASSERT_TRUE(parseLeaseFile(leaseFileText(lease), &read));
  EXPECT_EQ(leaseFileText(read), leaseFileText(lease));
}

TEST(LeaseTest, TheLogServerComesInHexWhereUdhcpcHasNoNameForIt) {
  struct Case {
    const char* opt7;
    const char* logServer;
  };
  for (Case c :
       {Case{"C0000201", "192.0.2.1"}, Case{"0A630001C0000202", "10.99.0.1"},
        Case{"c0000201", "192.0.2.1"}, Case{"C00002", ""}, Case{"C00002ZZ", ""},
        Case{"", ""}}) {
    auto get = [&](const char* name) -> const char* {
      const std::string wanted = name;
      if (wanted == "interface") return "eth0";
      if (wanted == "ip") return "192.0.2.100";
      if (wanted == "opt7") return c.opt7;
      return nullptr;
    };
    Lease lease;
    ASSERT_TRUE(leaseFromEnvironment(get, &lease));
    EXPECT_EQ(lease.logServer, c.logServer) << c.opt7;
  }
}

TEST(LeaseTest, ALeaseNeedsAnInterfaceAndAnAddress) {
  struct Case {
    const char* interface;
    const char* ip;
    bool ok;
  };
  for (Case c : {Case{"eth0", "10.0.0.2", true},
                 Case{nullptr, "10.0.0.2", false}, Case{"eth0", nullptr, false},
                 Case{"eth0", "banana", false}, Case{"", "10.0.0.2", false}}) {
    auto get = [&](const char* name) -> const char* {
      if (std::string(name) == "interface") return c.interface;
      if (std::string(name) == "ip") return c.ip;
      return nullptr;
    };
    Lease lease;
    EXPECT_EQ(leaseFromEnvironment(get, &lease), c.ok);
  }
  Lease lease;
  EXPECT_FALSE(parseLeaseFile("interface=eth0\n", &lease));
  EXPECT_FALSE(parseLeaseFile("", &lease));
  // No log server: the field is empty, the lease is still good.
  ASSERT_TRUE(parseLeaseFile("interface=eth1\naddress=10.0.0.9\n", &lease));
  EXPECT_EQ(lease.logServer, "");
}

TEST(LeaseTest, KnowsUdhcpcsEvents) {
  for (const char* event : {"deconfig", "bound", "renew", "leasefail", "nak"}) {
    EXPECT_TRUE(isLeaseEvent(event)) << event;
  }
  EXPECT_FALSE(isLeaseEvent("--help"));
  EXPECT_FALSE(isLeaseEvent(""));
}

}  // namespace
