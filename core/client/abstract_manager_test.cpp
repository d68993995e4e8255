#include "core/client/abstract_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "core/base/container.h"
#include "core/client/protocol_constants.h"
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
      {nullptr, 0},           {"", 0}, {"A", 4294434881u}, {"AUTH", 1940943936u}, {"AKUKA", 2357475716u},
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
// takes the entry. Destroying the replaced one leaves the live one registered; destroying the live
// one erases the entry.
TEST(ServiceTable, SameHashReplacesAndOnlyTheLiveOneRemoves) {
  for (const char* second_name : {"AKUKA", "BF_AG"}) {
    for (bool destroy_first : {true, false}) {
      auto first = std::make_unique<NamedManager>("AKUKA");
      auto second = std::make_unique<NamedManager>(second_name);
      EXPECT_EQ(HX_AbstractManager::GetServiceHandler("AKUKA"), second.get());
      if (destroy_first) {
        first.reset();
        EXPECT_EQ(HX_AbstractManager::GetServiceHandler("AKUKA"), second.get()) << second_name;
        second.reset();
      } else {
        second.reset();
      }
      EXPECT_EQ(HX_AbstractManager::GetServiceHandler("AKUKA"), nullptr) << second_name;
    }
  }
}

// Dispatch holds the table's lock across the handler: a manager that unregisters at the start of
// its destructor waits there until the handler has returned instead of being freed under it.
class SlowManager : public HX_AbstractManager {
 public:
  explicit SlowManager(std::atomic<int>* stage) : HX_AbstractManager("SLOW_SERVICE"), m_stage(stage) {}
  // Unregisters first: the base destructor would run only after this part is gone.
  ~SlowManager() override {
    UnregisterServiceHandler();
    destroyedWhileInside = m_stage->load() == 1;
  }
  bool ParseIncomimgMessage(HX_Container&) override {
    m_stage->store(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    m_stage->store(2);
    return true;
  }
  static inline bool destroyedWhileInside = false;

 private:
  std::atomic<int>* m_stage;
};

TEST(ServiceTable, DispatchKeepsTheManagerAliveForTheCall) {
  std::atomic<int> stage{0};
  auto manager = std::make_unique<SlowManager>(&stage);
  std::thread loop([] {
    HX_Container message;
    bool found = false;
    EXPECT_TRUE(HX_AbstractManager::Dispatch("SLOW_SERVICE", message, &found));
    EXPECT_TRUE(found);
  });
  while (stage.load() == 0) std::this_thread::yield();
  manager.reset();  // waits for the handler
  loop.join();
  EXPECT_FALSE(SlowManager::destroyedWhileInside);

  HX_Container message;
  bool found = true;
  EXPECT_FALSE(HX_AbstractManager::Dispatch("SLOW_SERVICE", message, &found));
  EXPECT_FALSE(found);
}

TEST(ServiceTable, ReturnBroker) {
  EXPECT_STREQ(HX_AbstractManager::ReturnBroker("user@server.example"), "server.example");
  EXPECT_STREQ(HX_AbstractManager::ReturnBroker("conf@srv@other"), "srv@other");
  EXPECT_STREQ(HX_AbstractManager::ReturnBroker("user@"), "");
  EXPECT_EQ(HX_AbstractManager::ReturnBroker("user"), nullptr);
  EXPECT_EQ(HX_AbstractManager::ReturnBroker(""), nullptr);
  EXPECT_EQ(HX_AbstractManager::ReturnBroker(nullptr), nullptr);
}

TEST(ServiceTable, ServiceNamesOfTheClient) {
  struct Case {
    const char* constant;
    const char* wire;
  } cases[] = {{AUTH_SRV, "AUTH"},
               {CONFIGURATION_SRV, "NET_CONFIG"},
               {CLIENT_SRV, "CLIENT"},
               {CONFERENCE_SRV, "CONFERENCE"},
               {DS_CONTROL_SRV, "DS_CONTROL"},
               {ADDRESSBOOK_SRV, "ABOOK"},
               {PRESENCE_SRV, "PRESENCE"},
               {CHAT_SRV, "CHAT"},
               {CHATV2_SRV, "CHATV2"},
               {TORRENT_SRV, "TORRENT"},
               {LOG_SRV, "LOG"},
               {METHOD_PARAM, "Method"},
               {RESULT_PARAM, "Result"}};
  std::set<uint32_t> hashes;
  for (const Case& c : cases) {
    EXPECT_STREQ(c.constant, c.wire);
    // Every service name hashes apart from the others, so no service shadows another.
    EXPECT_TRUE(hashes.insert(hx::NameHash(c.wire)).second) << c.wire;
    NamedManager manager(c.constant);
    EXPECT_EQ(HX_AbstractManager::GetServiceHandler(c.wire), &manager);
  }
  EXPECT_EQ(hx::NameHash("CONFERENCE"), hx::NameHash(std::string("CONFERENCE").c_str()));
}

TEST(ServiceTable, KeepsAtMost255CharactersOfTheName) {
  const std::string long_name(300, 'S');
  NamedManager manager(long_name.c_str());
  EXPECT_EQ(std::string(manager.GetServiceName()), long_name.substr(0, 255));
  EXPECT_EQ(HX_AbstractManager::GetServiceHandler(long_name.substr(0, 255).c_str()), &manager);
}

}  // namespace
