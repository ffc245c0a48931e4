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
  for (Case c :
       {Case{"eth0", "10.0.0.2", true}, Case{"enp0s31f6", "10.0.0.2", true},
        Case{nullptr, "10.0.0.2", false}, Case{"eth0", nullptr, false},
        Case{"eth0", "banana", false}, Case{"", "10.0.0.2", false},
        // Found by the lease harness: the lease file is named after
        // the interface, and holds it on a line of its own.
        Case{"../../etc/x", "10.0.0.2", false},
        Case{"eth0\naddress=10.9.9.9", "10.0.0.2", false},
        Case{"..", "10.0.0.2", false}, Case{"eth0:1", "10.0.0.2", false},
        Case{"a-very-long-name", "10.0.0.2", false}}) {
    auto get = [&](const char* name) -> const char* {
      if (std::string(name) == "interface") return c.interface;
      if (std::string(name) == "ip") return c.ip;
      return nullptr;
    };
    Lease lease;
    EXPECT_EQ(leaseFromEnvironment(get, &lease), c.ok)
        << (c.interface == nullptr ? "no interface" : c.interface);
  }
  Lease lease;
  EXPECT_FALSE(parseLeaseFile("interface=eth0\n", &lease));
  EXPECT_FALSE(parseLeaseFile("interface=../x\naddress=10.0.0.2\n", &lease));
  EXPECT_FALSE(parseLeaseFile("", &lease));
  // No log server: the field is empty, the lease is still good.
  ASSERT_TRUE(parseLeaseFile("interface=eth1\naddress=10.0.0.9\n", &lease));
  EXPECT_EQ(lease.logServer, "");
}

// A lease from a broken or hostile DHCP server: an address that names no
// host is never ours, a router or the collector.
TEST(LeaseTest, AddressesThatNameNoHostAreRefused) {
  struct Case {
    const char* ip;
    const char* router;
    const char* logsrv;
    const char* opt7;
    bool ok;
    const char* expectRouter;
    const char* expectLogServer;
  };
  for (Case c : {
           Case{"10.0.0.2", "10.0.0.1", "10.0.0.3", nullptr, true, "10.0.0.1",
                "10.0.0.3"},
           Case{"0.0.0.0", "10.0.0.1", "10.0.0.3", nullptr, false, "", ""},
           Case{"127.0.0.1", "10.0.0.1", "10.0.0.3", nullptr, false, "", ""},
           Case{"224.0.0.5", "10.0.0.1", "10.0.0.3", nullptr, false, "", ""},
           Case{"255.255.255.255", "10.0.0.1", "10.0.0.3", nullptr, false, "",
                ""},
           Case{"10.0.0.2", "0.0.0.0", "127.0.0.1", nullptr, true, "", ""},
           Case{"10.0.0.2", "255.255.255.255 10.0.0.1",
                "239.1.1.1 127.0.0.1 10.0.0.3", nullptr, true, "10.0.0.1",
                "10.0.0.3"},
           Case{"10.0.0.2", nullptr, nullptr, "7F000001", true, "", ""},
           Case{"10.0.0.2", nullptr, nullptr, "FFFFFFFFC0000201", true, "",
                "192.0.2.1"},
           Case{"10.0.0.2", nullptr, nullptr, "00000000", true, "", ""},
       }) {
    SCOPED_TRACE(c.ip);
    auto get = [&](const char* name) -> const char* {
      const std::string wanted = name;
      if (wanted == "interface") return "eth0";
      if (wanted == "ip") return c.ip;
      if (wanted == "router") return c.router;
      if (wanted == "logsrv") return c.logsrv;
      if (wanted == "opt7") return c.opt7;
      return nullptr;
    };
    Lease lease;
    const bool ok = leaseFromEnvironment(get, &lease);
    EXPECT_EQ(ok, c.ok);
    if (!ok || !c.ok) continue;
    EXPECT_EQ(lease.router, c.expectRouter);
    EXPECT_EQ(lease.logServer, c.expectLogServer);
  }
  // A lease file the first process reads: the same rule, so that such a
  // lease never makes its interface the chosen one.
  Lease lease;
  for (const std::string& address :
       {std::string("0.0.0.0"), std::string("127.0.0.1"),
        std::string("224.0.0.1"), std::string("255.255.255.255"),
        std::string("banana"), std::string("10.0.0.2\0x", 10)}) {
    EXPECT_FALSE(
        parseLeaseFile("interface=eth0\naddress=" + address + "\n", &lease))
        << address;
  }
  ASSERT_TRUE(
      parseLeaseFile("interface=eth0\naddress=10.0.0.2\nrouter=0.0.0.0\n"
                     "logserver=255.255.255.255\n",
                     &lease));
  EXPECT_EQ(lease.router, "");
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
