// Reads the interface table of the running system: this machine's own, and a private network
// namespace in which the test makes interfaces of known kinds and addresses.
#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/net/address/addr_factory.h"
#include "core/net/address/if_list.h"
#include "testing/test_support.h"

namespace {

bool FamiliesInOrder(const HXIpIfAddrSet& items) {
  bool seen_v6 = false;
  for (const auto& item : items) {
    if (item.family() == ip::Family::v6) seen_v6 = true;
    if (item.family() == ip::Family::v4 && seen_v6) return false;
  }
  return true;
}

TEST(IfListGather, ReadsThisMachine) {
  HXIfList list;
  const unsigned count = list.gather();
  ASSERT_GT(count, 0u);

  // Every interface the kernel names is in the list, under its index.
  struct if_nameindex* names = if_nameindex();
  ASSERT_NE(names, nullptr);
  unsigned kernel_count = 0;
  for (const struct if_nameindex* n = names; n->if_index != 0; ++n, ++kernel_count) {
    SCOPED_TRACE(n->if_name);
    const auto iface = list.getIf(n->if_name);
    ASSERT_TRUE(iface);
    EXPECT_EQ(iface->index(), n->if_index);
  }
  if_freenameindex(names);
  EXPECT_EQ(count, kernel_count);

  const auto lo = list.getIf("lo");
  ASSERT_TRUE(lo);
  EXPECT_EQ(lo->type(), ip::IfType::other);

  HXIpIfAddrSet items;
  list.getIfAddrList(items);
  const auto loopback = std::find_if(items.begin(), items.end(), [](const HXIpIfListItem& i) {
    return i.str() == "127.0.0.1";
  });
  ASSERT_NE(loopback, items.end());
  EXPECT_EQ(loopback->ifName(), "lo");
  EXPECT_TRUE(loopback->mask() == HXNetMask(4, 8));
  EXPECT_TRUE(FamiliesInOrder(items));

  // Gathering again finds the same, without duplicates.
  EXPECT_EQ(list.gather(), count);
  HXIpIfAddrSet again;
  list.getIfAddrList(again);
  EXPECT_EQ(again.size(), items.size());
}

// What the namespace thread saw.
struct NamespaceView {
  std::string skip;                          // why the namespace or an interface is missing
  std::string failed_command;                // a setup step that should have worked
  unsigned count = 0;                        // gather()'s answer
  std::map<std::string, unsigned> indexes;   // the kernel's indexes there
};

class NamespaceBuilder {
 public:
  NamespaceBuilder(std::string ip_tool, NamespaceView& view) : ip_(std::move(ip_tool)), view_(view) {}
  ~NamespaceBuilder() {
    if (tun_fd_ >= 0) close(tun_fd_);
    Run("link del hxv0");
    Run("tuntap del dev hxtun1 mode tun");
  }

  // Runs on a thread of its own: the namespace belongs to that thread alone and goes away
  // with it, so the rest of the test process never leaves the machine's namespace.
  void BuildAndGather(HXIfList& list) {
    if (unshare(CLONE_NEWNET) != 0) {
      view_.skip = std::string("cannot make a network namespace: ") + std::strerror(errno);
      return;
    }
    if (!Run("link add hxv0 type veth peer name hxv1")) {
      view_.skip = "cannot make a veth pair in the namespace";
      return;
    }
    if (!AttachTun("hxtun0")) {
      view_.skip = "cannot make a tun device in the namespace";
      return;
    }
    const char* steps[] = {
        "link set lo up",
        "link set hxv0 up",
        "link set hxv1 up",
        "link set hxtun0 up",
        "tuntap add dev hxtun1 mode tun",  // no process attached: up, but never running
        "link set hxtun1 up",
        "addr add 10.77.0.1/24 brd + dev hxv0",
        "addr add 10.77.0.5/24 dev hxv1",
        "addr add 10.77.0.9/24 dev hxv0",
        "addr add 10.77.0.9/24 dev hxv1",
        "addr add 10.78.0.1 peer 10.78.0.2 dev hxtun0",
        "addr add 10.79.0.1/24 dev hxtun1",
        "-6 addr add fd00:77::1/64 dev hxv0 nodad",
        "-6 addr add fe80::77/64 dev hxv0 nodad",
    };
    for (const char* step : steps) {
      if (!Run(step)) {
        view_.failed_command = step;
        return;
      }
    }
    // The kernel reports carrier changes a moment later.
    hx::testing::WaitFor([] { return AllRunning({"hxv0", "hxv1", "hxtun0"}); }, 10000);
    view_.count = list.gather();
    for (const char* name : {"lo", "hxv0", "hxv1", "hxtun0", "hxtun1"})
      view_.indexes[name] = if_nametoindex(name);
  }

 private:
  bool Run(const std::string& args) {
    const std::string command = ip_ + " " + args + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
  }

  bool AttachTun(const char* name) {
    tun_fd_ = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    if (tun_fd_ < 0) return false;
    ifreq request{};
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
    return ioctl(tun_fd_, TUNSETIFF, &request) == 0;
  }

  static bool AllRunning(std::initializer_list<const char*> names) {
    HXIfList probe;
    probe.gather();
    for (const char* name : names) {
      const auto iface = probe.getIf(name);
      if (!iface || (iface->flags() & ip::IfFlags::up_and_running) == 0) return false;
    }
    return true;
  }

  std::string ip_;
  NamespaceView& view_;
  int tun_fd_ = -1;
};

// "address/prefix@interface", with " peer X" or " brd X" when the item has one.
std::vector<std::string> Describe(const HXIpIfAddrSet& items) {
  std::vector<std::string> out;
  for (const auto& item : items) {
    // Kernel-made link-local addresses depend on hardware addresses; only ours is checked.
    if (item.isLinkLocal6() && item.str() != "fe80::77") continue;
    std::string text = item.str() + "/" + std::to_string(item.mask().maskLen()) + "@" +
                       item.ifName();
    if (!item.p2p().empty()) text += " peer " + item.p2p().str();
    if (!item.broadcast().empty()) text += " brd " + item.broadcast().str();
    out.push_back(text);
  }
  return out;
}

TEST(IfListGather, ReadsKindsFlagsAndAddressesOfANamespace) {
  HX_REQUIRE_TOOL("ip", ip_tool);
  HXIfList list;
  NamespaceView view;
  std::thread([&] {
    NamespaceBuilder builder(ip_tool, view);
    builder.BuildAndGather(list);
  }).join();
  if (!view.skip.empty()) GTEST_SKIP() << view.skip;
  ASSERT_EQ(view.failed_command, "");

  EXPECT_EQ(view.count, 5u);
  const int32_t running = ip::IfFlags::up_and_running;
  const int32_t multicast = ip::IfFlags::multicast;
  const struct {
    const char* name;
    ip::IfType::type kind;
    int32_t flags;
  } interfaces[] = {
      {"lo", ip::IfType::other, running},
      {"hxv0", ip::IfType::ethernet, ip::IfFlags::kind_ethernet | multicast | running},
      {"hxv1", ip::IfType::ethernet, ip::IfFlags::kind_ethernet | multicast | running},
      {"hxtun0", ip::IfType::tunnel, ip::IfFlags::kind_tunnel | multicast | running},
      {"hxtun1", ip::IfType::tunnel, ip::IfFlags::kind_tunnel | multicast},
  };
  for (const auto& expected : interfaces) {
    SCOPED_TRACE(expected.name);
    const auto iface = list.getIf(expected.name);
    ASSERT_TRUE(iface);
    EXPECT_EQ(iface->type(), expected.kind);
    EXPECT_EQ(iface->flags(), expected.flags);
    EXPECT_EQ(iface->index(), view.indexes[expected.name]);
  }

  HXIpIfAddrSet items;
  list.getIfAddrList(items);
  // By address, IPv4 first; one address on two interfaces twice, in interface name order. A
  // tunnel keeps no peer even on a point-to-point link. Where no broadcast address was given,
  // the C library reports the address itself as the broadcast address.
  EXPECT_EQ(Describe(items), (std::vector<std::string>{
                                 "10.77.0.1/24@hxv0 brd 10.77.0.255",
                                 "10.77.0.5/24@hxv1 brd 10.77.0.5",
                                 "10.77.0.9/24@hxv0 brd 10.77.0.9",
                                 "10.77.0.9/24@hxv1 brd 10.77.0.9",
                                 "10.78.0.1/32@hxtun0",
                                 "10.79.0.1/24@hxtun1",
                                 "127.0.0.1/8@lo",
                                 "::1/128@lo",
                                 "fd00:77::1/64@hxv0",
                                 "fe80::77/64@hxv0",
                             }));
  const HXIpIfListItem* link_local = nullptr;
  for (const auto& item : items)
    if (item.str() == "fe80::77") link_local = &item;
  ASSERT_NE(link_local, nullptr);
  EXPECT_EQ(link_local->scopeId(), view.indexes["hxv0"]);

  items.removeDownAndLocalhostIf();
  for (const auto& item : items) {
    EXPECT_NE(item.ifName(), "hxtun1");
    EXPECT_FALSE(item.isLoopbackIf());
  }
  EXPECT_EQ(Describe(items).size(), 7u);
}

}  // namespace
