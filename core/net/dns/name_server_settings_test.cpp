#include "core/net/dns/name_server_settings.h"

#include <gtest/gtest.h>

namespace hx::dns {
namespace {

TEST(NameServerSettings, FallbackSuffixesMatchDomainEndsWithoutCase) {
  SetFallbackDomainSuffixes({".example.net", "other.test", ""});
  const std::pair<const char*, bool> cases[] = {
      {"a.example.net", true},
      {"A.EXAMPLE.NET", true},
      {"example.net", false},
      {"other.test", true},
      {"another.test", true},
      {"test", false},
      {"", false},
  };
  for (const auto& [domain, uses] : cases) {
    EXPECT_EQ(DomainUsesFallbackNameServers(domain), uses) << domain;
  }
  SetFallbackDomainSuffixes({});
  EXPECT_FALSE(DomainUsesFallbackNameServers("a.example.net"));
}

}  // namespace
}  // namespace hx::dns
