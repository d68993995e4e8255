#include "core/client/abstract_manager.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "core/base/container.h"
#include "core/wire/name_hash.h"
#include "testing/test_support.h"

namespace {

class NamedManager : public HX_AbstractManager {
 public:
  using HX_AbstractManager::HX_AbstractManager;
  bool ParseIncomimgMessage(HX_Container&) override { return true; }
};

TEST(NameHash, KnownValues) {
  struct Case {
    const char* name;
    uint32_t hash;
  } cases[] = {
      {nullptr, 0},
      {"", 0},
      {"A", 4294434881u},
      {"AUTH", 1940943936u},
      {"AKUKA", 2357475716u},
      {"BF_AG", 2357475716u},  // the same hash as the name before
      {"\xff", 4292878591u},   // bytes count as unsigned
  };
  for (const Case& c : cases) EXPECT_EQ(hx::NameHash(c.name), c.hash) << (c.name ? c.name : "null");
}

TEST(ServiceTable, FindsTheRegisteredManagerUntilItIsDestroyed) {
  auto manager = std::make_unique<NamedManager>("TEST_SERVICE");
  EXPECT_STREQ(manager->GetServiceName(), "TEST_SERVICE");
  EXPECT_EQ(HX_AbstractManager::GetServiceHandler("TEST_SERVICE"), manager.get());
  manager.reset();

  hx::testing::LogCapture log;
  EXPECT_EQ(HX_AbstractManager::GetServiceHandler("TEST_SERVICE"), nullptr);
  EXPECT_TRUE(log.Contains("Service TEST_SERVICE not found"));
}

TEST(ServiceTable, EmptyNamesAreRefused) {
  for (const char* name : {static_cast<const char*>(nullptr), ""}) {
    hx::testing::LogCapture log;
    EXPECT_EQ(HX_AbstractManager::GetServiceHandler(name), nullptr);
    EXPECT_TRUE(log.Contains("Service is empty"));
  }
}

// Registration is by hash: the later of two managers with the same (or an equally hashed) name
// takes the entry, and destroying either removes it.
TEST(ServiceTable, SameHashReplacesAndEitherRemoves) {
  for (const char* second_name : {"AKUKA", "BF_AG"}) {
    for (bool destroy_first : {true, false}) {
      auto first = std::make_unique<NamedManager>("AKUKA");
      auto second = std::make_unique<NamedManager>(second_name);
      EXPECT_EQ(HX_AbstractManager::GetServiceHandler("AKUKA"), second.get());
      if (destroy_first) {
        first.reset();
      } else {
        second.reset();
      }
      EXPECT_EQ(HX_AbstractManager::GetServiceHandler("AKUKA"), nullptr) << second_name;
    }
  }
}

TEST(ServiceTable, KeepsAtMost255CharactersOfTheName) {
  const std::string long_name(300, 'S');
  NamedManager manager(long_name.c_str());
  EXPECT_EQ(std::string(manager.GetServiceName()), long_name.substr(0, 255));
  EXPECT_EQ(HX_AbstractManager::GetServiceHandler(long_name.substr(0, 255).c_str()), &manager);
}

}  // namespace
