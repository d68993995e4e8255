#include "core/net/dns/resolv_conf.h"

#include <gtest/gtest.h>

#include <fstream>

#include "testing/test_support.h"

namespace hx::dns {
namespace {

TEST(ResolvConf, NameServerLinesInFileOrderAtMostThree) {
  hx::testing::TempDir dir;
  const std::string path = dir.File("resolv.conf");
  std::ofstream(path) << "# comment\n"
                         "search example.net\n"
                         "nameserver 10.0.0.1\n"
                         "nameserver not-an-address\n"
                         "   nameserver\t2001:db8::53  # trailing words\n"
                         "nameserver\n"
                         "; nameserver 10.9.9.9\n"
                         "nameserver fe80::1%lo\n"
                         "nameserver 10.0.0.4\n";
  const NameServerList expected = {
      {"10.0.0.1", 53}, {"2001:db8::53", 53}, {"fe80::1%1", 53}};  // lo is interface 1
  EXPECT_EQ(ReadResolvConf(path), expected);
  EXPECT_TRUE(ReadResolvConf(dir.File("missing")).empty());
}

}  // namespace
}  // namespace hx::dns
