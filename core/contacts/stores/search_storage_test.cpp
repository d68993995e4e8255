#include "core/contacts/stores/search_storage.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <list>
#include <string>

namespace {

using Ids = std::list<std::string>;

// A search store whose clock the test moves.
class SearchStore : public ::testing::Test {
 protected:
  SearchStore() {
    store.setTickSource([this] { return now; });
  }
  uint64_t now = 1000;
  HX_SearchManager store;
};

TEST_F(SearchStore, EqualSearchRefusedAnotherEmailEmptiesThePreviousResult) {
  EXPECT_TRUE(store.PushSearch("", "Ann", "ann@x"));
  ++now;
  EXPECT_FALSE(store.PushSearch("", "Ann", "ann@x"));
  // A null text counts as "".
  EXPECT_FALSE(store.PushSearch(nullptr, "Ann", "ann@x"));
  EXPECT_EQ(store.PendingCount(), 1u);

  ASSERT_TRUE(store.PopSearch(nullptr, "Ann", "ann@x"));
  EXPECT_TRUE(store.PushSearchResult("ann1"));
  EXPECT_TRUE(store.PushSearchResult("ann2"));
  EXPECT_TRUE(store.UnlockSearchResult());
  EXPECT_EQ(store.PopLastSearchResult(), (Ids{"ann1", "ann2"}));
  EXPECT_EQ(store.PendingCount(), 0u);

  // Answered, so no longer pending: the same texts may be searched again.
  ++now;
  EXPECT_TRUE(store.PushSearch("", "Ann", "other@x"));
  EXPECT_TRUE(store.PopLastSearchResult().empty());
  EXPECT_FALSE(store.PushSearchResult("late"));
  // The previous result stays, with an empty list.
  EXPECT_TRUE(store.PopSearchResult("", "Ann", "ann@x").empty());
}

TEST_F(SearchStore, AnswerForTheMiddleSearchDropsTheOlderOne) {
  ASSERT_TRUE(store.PushSearch("a", "", ""));
  ++now;
  ASSERT_TRUE(store.PushSearch("b", "", ""));
  ++now;
  ASSERT_TRUE(store.PushSearch("c", "", ""));

  ASSERT_TRUE(store.PopSearch("b", "", ""));
  EXPECT_EQ(store.PendingCount(), 1u);
  EXPECT_FALSE(store.CheckExist("a", "", "", false));
  EXPECT_TRUE(store.CheckExist("c", "", "", false));
  EXPECT_TRUE(store.PushSearchResult("b1"));
  EXPECT_EQ(store.PopLastSearchResult(), Ids{"b1"});

  // The answer for the dropped search matches nothing: no current result, and nothing that was
  // pending survives the walk.
  EXPECT_FALSE(store.PopSearch("a", "", ""));
  EXPECT_FALSE(store.PushSearchResult("a1"));
  EXPECT_TRUE(store.PopLastSearchResult().empty());
  EXPECT_EQ(store.PendingCount(), 0u);
  EXPECT_EQ(store.PopSearchResult("b", "", ""), Ids{"b1"});
  EXPECT_TRUE(store.PopSearchResult("a", "", "").empty());
}

TEST_F(SearchStore, PendingSearchesExpireAfterFifteenMinutes) {
  struct Row {
    uint64_t age;
    bool kept;
  };
  for (const Row row : {Row{899999, true}, Row{900000, false}, Row{900001, false}}) {
    SCOPED_TRACE(row.age);
    HX_SearchManager s;
    uint64_t t = 5000;
    s.setTickSource([&t] { return t; });
    ASSERT_TRUE(s.PushSearch("old", "", ""));
    t += row.age;
    ASSERT_TRUE(s.PushSearch("new", "", ""));
    EXPECT_EQ(s.CheckExist("old", "", "", false), row.kept);
    EXPECT_EQ(s.PendingCount(), row.kept ? 2u : 1u);
    EXPECT_EQ(s.PopSearch("old", "", ""), row.kept);
  }
}

TEST_F(SearchStore, TwoSearchesInOneMillisecondAreBothAnswered) {
  ASSERT_TRUE(store.PushSearch("", "", "a@x"));
  ASSERT_TRUE(store.PushSearch("", "", "b@x"));
  EXPECT_EQ(store.PendingCount(), 2u);
  EXPECT_FALSE(store.PushSearch("", "", "b@x"));

  ASSERT_TRUE(store.PopSearch("", "", "a@x"));
  EXPECT_EQ(store.PendingCount(), 1u);
  EXPECT_TRUE(store.PushSearchResult("a1"));
  ASSERT_TRUE(store.PopSearch("", "", "b@x"));
  EXPECT_TRUE(store.PushSearchResult("b1"));
  EXPECT_TRUE(store.PushSearchResult("b2"));
  EXPECT_EQ(store.PendingCount(), 0u);

  EXPECT_EQ(store.PopSearchResult("", "", "a@x"), Ids{"a1"});
  EXPECT_EQ(store.PopSearchResult("", "", "b@x"), (Ids{"b1", "b2"}));
}

TEST_F(SearchStore, SameMillisecondOlderByCreationIsDroppedFirst) {
  ASSERT_TRUE(store.PushSearch("x", "", ""));
  ASSERT_TRUE(store.PushSearch("y", "", ""));
  ASSERT_TRUE(store.PopSearch("y", "", ""));
  EXPECT_FALSE(store.CheckExist("x", "", "", false));
  EXPECT_EQ(store.PendingCount(), 0u);
}

TEST_F(SearchStore, ExpiredCurrentResultLeavesNoCurrentResult) {
  ASSERT_TRUE(store.PushSearch("", "Bo", ""));
  ASSERT_TRUE(store.PopSearch("", "Bo", ""));
  EXPECT_TRUE(store.PushSearchResult("bo1"));

  now += 899999;
  store.GCResult();
  EXPECT_TRUE(store.PushSearchResult("bo2"));
  EXPECT_EQ(store.PopLastSearchResult(), (Ids{"bo1", "bo2"}));

  ++now;
  store.GCResult();
  EXPECT_FALSE(store.PushSearchResult("bo3"));
  EXPECT_TRUE(store.PopLastSearchResult().empty());
  EXPECT_TRUE(store.PopSearchResult("", "Bo", "").empty());
}

TEST_F(SearchStore, PopSearchResultCollectsExpiredResults) {
  ASSERT_TRUE(store.PushSearch("", "", "c@x"));
  ASSERT_TRUE(store.PopSearch("", "", "c@x"));
  EXPECT_TRUE(store.PushSearchResult("c1"));
  now += 900000;
  // The copy is taken before the collection, which then drops the current result.
  EXPECT_EQ(store.PopSearchResult("", "", "c@x"), Ids{"c1"});
  EXPECT_FALSE(store.PushSearchResult("c2"));
  EXPECT_TRUE(store.PopSearchResult("", "", "c@x").empty());
}

TEST(UserDetailsStorage, MergeKeepsStoredTextsForEmptyOnes) {
  HX_UserDetailsStorage store;
  EXPECT_FALSE(store.IsUserDetailsExists("u"));
  const auto none = store.GetUserDetails("u");
  EXPECT_EQ(
      none.firstName + none.lastName + none.company + none.phone + none.displayName + none.callId,
      "");
  EXPECT_EQ(none.state, 0);

  store.SetUserDetails("u", {"Ann", "Lee", "Acme", "555", "Ann L", "u@x"}, true);
  auto got = store.GetUserDetails("u");
  EXPECT_EQ(got.state, 0);
  EXPECT_EQ(got.company, "Acme");

  // An own update: the empty company leaves the stored one; the state asks for a fresh copy.
  store.SetUserDetails("u", {nullptr, "Li", "", "777", nullptr, ""}, false);
  got = store.GetUserDetails("u");
  EXPECT_EQ(got.firstName, "Ann");
  EXPECT_EQ(got.lastName, "Li");
  EXPECT_EQ(got.company, "Acme");
  EXPECT_EQ(got.phone, "777");
  EXPECT_EQ(got.displayName, "Ann L");
  EXPECT_EQ(got.callId, "u@x");
  EXPECT_EQ(got.state, 1);

  // Ids are exact.
  EXPECT_FALSE(store.IsUserDetailsExists("U"));
  store.SetUserDetails("U",
                       {std::string(), std::string(), std::string("Other"), std::string(),
                        std::string(), std::string()},
                       true);
  EXPECT_EQ(store.GetUserDetails("U").company, "Other");
  EXPECT_EQ(store.GetUserDetails("u").company, "Acme");
}

TEST(UserDetailsStorage, RequestSentMarksOrCreatesTheEntry) {
  HX_UserDetailsStorage store;
  store.userDetailsRequestSent("new");
  ASSERT_TRUE(store.IsUserDetailsExists("new"));
  const auto created = store.GetUserDetails("new");
  EXPECT_EQ(created.firstName + created.lastName + created.company + created.phone +
                created.displayName + created.callId,
            "");
  EXPECT_EQ(created.state, 2);

  store.SetUserDetails("old", {"A", "B", "C", "D", "E", "F"}, false);
  store.userDetailsRequestSent("old");
  auto old = store.GetUserDetails("old");
  EXPECT_EQ(old.state, 2);
  EXPECT_EQ(old.company, "C");
  EXPECT_EQ(old.callId, "F");

  // The answer arrives.
  store.SetUserDetails("old", {"", "", "C2", "", "", ""}, true);
  old = store.GetUserDetails("old");
  EXPECT_EQ(old.state, 0);
  EXPECT_EQ(old.firstName, "A");
  EXPECT_EQ(old.company, "C2");
}

}  // namespace
