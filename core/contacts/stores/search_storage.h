#pragma once
// HX_SearchManager: the user searches sent to the server until their answer arrives, and the
// call ids each answer lists. Requests and results are keyed by their millisecond and a sequence
// number, so two searches made in one millisecond are both kept.
// HX_UserDetailsStorage: per user id, the details of person-details answers.
//
// Thread safety: each store is its own recursive lock, taken by every operation.

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <set>
#include <string>

#include "core/base/lock.h"

class HX_SearchManager : public HXMultiLock<4> {
 public:
  struct SearchRequest {
    uint64_t time = 0;      // creation tick in milliseconds
    uint64_t sequence = 0;  // order of creation within the store
    std::string callId;
    std::string name;
    std::string email;
    // Equal searches: the three texts byte for byte; time is ignored.
    bool operator==(const SearchRequest& other) const {
      return callId == other.callId && name == other.name && email == other.email;
    }
  };
  // Orders by time, then sequence.
  struct ByTime {
    bool operator()(const SearchRequest& a, const SearchRequest& b) const {
      return a.time != b.time ? a.time < b.time : a.sequence < b.sequence;
    }
  };
  using Results = std::map<SearchRequest, std::list<std::string>, ByTime>;
  static constexpr uint64_t kMaxAgeMs = 900000;

  HX_SearchManager();
  ~HX_SearchManager() override = default;

  // The tick source (the core's tick clock by default); tests set their own.
  void setTickSource(std::function<uint64_t()> ticks);

  // False when an equal search is pending; otherwise records it, empties the current result's
  // list, and answers true.
  bool PushSearch(const char* callId, const char* name, const char* email);
  // The answer for a search begins: drops older pending searches, makes it the current result.
  bool PopSearch(const char* callId, const char* name, const char* email);
  bool PushSearchResult(const char* callId);
  bool UnlockSearchResult() { return true; }
  std::list<std::string> PopLastSearchResult();
  std::list<std::string> PopSearchResult(const char* callId, const char* name, const char* email);
  bool CheckExist(const char* callId, const char* name, const char* email, bool dropOlder);
  void GCRequest();
  void GCResult();

  size_t PendingCount();

 protected:
  std::set<SearchRequest, ByTime> requests;
  Results results;
  Results::iterator currentResult;  // results.end() for none

 private:
  SearchRequest Make(const char* callId, const char* name, const char* email) const;
  std::function<uint64_t()> m_ticks;
  uint64_t m_sequence = 0;
};

class HX_UserDetailsStorage : public HXMultiLock<7> {
 public:
  struct Information {
    Information() = default;
    Information(const char* firstName, const char* lastName, const char* company,
                const char* phone, const char* displayName, const char* callId);
    Information(std::string firstName, std::string lastName, std::string company,
                std::string phone, std::string displayName, std::string callId);
    std::string firstName;
    std::string lastName;
    std::string company;
    std::string phone;
    std::string displayName;
    std::string callId;
    int32_t state = 0;  // 0 from the server, 1 changed locally, 2 request sent
  };

  ~HX_UserDetailsStorage() override = default;

  Information GetUserDetails(const std::string& user);
  bool IsUserDetailsExists(const std::string& user);
  // Non-empty texts of `info` replace the stored ones; state 0 from the server, else 1.
  void SetUserDetails(const std::string& user, const Information& info, bool fromServer);
  void userDetailsRequestSent(const std::string& user);

 private:
  std::map<std::string, Information> details;
};
