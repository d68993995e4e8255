#include "core/base/thread_local_storage.h"

#include <gtest/gtest.h>

#include <thread>

#include "core/base/thread_base.h"

namespace {

TEST(HXTLSBase, MapsKeysToPointersItDoesNotOwn) {
  HXTLSBase store;
  int a = 1;
  int b = 2;
  EXPECT_EQ(store.Get(5), nullptr);
  store.Set(5, &a);
  store.Set(-5, &b);
  EXPECT_EQ(store.Get(5), &a);
  EXPECT_EQ(store.Get(-5), &b);
  store.Set(5, &b);
  EXPECT_EQ(store.Get(5), &b) << "overwritten";
  store.Del(5);
  store.Del(6);  // absent: nothing happens
  EXPECT_EQ(store.Get(5), nullptr);
  EXPECT_EQ(store.Get(-5), &b);
}

TEST(HXTLS, EveryThreadHasItsOwnStore) {
  HXTLS tls;
  HXTLSBase* mine = tls.TLSInit();
  ASSERT_NE(mine, nullptr);
  EXPECT_EQ(tls.TLSGet(), mine);

  HXTLSBase* theirs = nullptr;
  HXTLSBase* theirs_before_init = mine;
  std::thread other([&] {
    theirs_before_init = tls.TLSGet();
    theirs = tls.TLSInit();
    tls.TLSFree();
    EXPECT_EQ(tls.TLSGet(), nullptr);
  });
  other.join();
  EXPECT_EQ(theirs_before_init, nullptr);
  EXPECT_NE(theirs, nullptr);
  EXPECT_NE(theirs, mine);
  EXPECT_EQ(tls.TLSGet(), mine) << "freeing another thread's store leaves ours";
  tls.TLSFree();
  EXPECT_EQ(tls.TLSGet(), nullptr);
  tls.TLSFree();  // nothing left: no effect
}

TEST(HXTLS, StoreOfAnEndingThreadIsDeleted) {
  // The leak checker of the sanitized build reports the store if nobody deletes it.
  HXTLS tls;
  std::thread other([&] { tls.TLSInit()->Set(1, nullptr); });
  other.join();
}

TEST(HXThreadBase, TLSGivesTheCallingThreadOneStoreCreatedOnFirstUse) {
  HXThreadBase::TLSRegisterHandler();
  HXTLSBase* mine = HXThreadBase::TLS();
  ASSERT_NE(mine, nullptr);
  HXThreadBase::TLSRegisterHandler();  // again: harmless
  EXPECT_EQ(HXThreadBase::TLS(), mine);
  HXTLSBase* theirs = nullptr;
  std::thread other([&] { theirs = HXThreadBase::TLS(); });
  other.join();
  EXPECT_NE(theirs, nullptr);
  EXPECT_NE(theirs, mine);
}

}  // namespace
