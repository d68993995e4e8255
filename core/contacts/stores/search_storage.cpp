#include "core/contacts/stores/search_storage.h"

#include <utility>

#include "core/base/tick_clock.h"

namespace {
std::string Text(const char* text) { return text ? text : ""; }
}  // namespace

HX_SearchManager::HX_SearchManager()
    : currentResult(results.end()),
      m_ticks([] { return static_cast<uint64_t>(hx::GetTickCount()); }) {}

void HX_SearchManager::setTickSource(std::function<uint64_t()> ticks) {
  HXAutoLock hold(*this);
  m_ticks = std::move(ticks);
}

HX_SearchManager::SearchRequest HX_SearchManager::Make(const char* callId, const char* name,
                                                       const char* email) const {
  SearchRequest request;
  request.callId = Text(callId);
  request.name = Text(name);
  request.email = Text(email);
  return request;
}

bool HX_SearchManager::PushSearch(const char* callId, const char* name, const char* email) {
  HXAutoLock hold(*this);
  GCRequest();
  if (CheckExist(callId, name, email, false)) return false;
  SearchRequest request = Make(callId, name, email);
  request.time = m_ticks();
  request.sequence = ++m_sequence;
  if (currentResult != results.end()) {
    currentResult->second.clear();
    currentResult = results.end();
  }
  requests.insert(std::move(request));
  return true;
}

bool HX_SearchManager::CheckExist(const char* callId, const char* name, const char* email,
                                  bool dropOlder) {
  HXAutoLock hold(*this);
  const SearchRequest wanted = Make(callId, name, email);
  for (auto it = requests.begin(); it != requests.end();) {
    if (*it == wanted) return true;
    it = dropOlder ? requests.erase(it) : std::next(it);
  }
  return false;
}

bool HX_SearchManager::PopSearch(const char* callId, const char* name, const char* email) {
  HXAutoLock hold(*this);
  if (!CheckExist(callId, name, email, true)) {
    currentResult = results.end();
    return false;
  }
  const SearchRequest request = *requests.begin();
  currentResult = results.emplace(request, std::list<std::string>()).first;
  currentResult->second.clear();
  requests.erase(requests.begin());
  return true;
}

bool HX_SearchManager::PushSearchResult(const char* callId) {
  HXAutoLock hold(*this);
  if (currentResult == results.end()) return false;
  currentResult->second.push_back(Text(callId));
  return true;
}

std::list<std::string> HX_SearchManager::PopLastSearchResult() {
  HXAutoLock hold(*this);
  if (currentResult == results.end()) return {};
  return currentResult->second;
}

std::list<std::string> HX_SearchManager::PopSearchResult(const char* callId, const char* name,
                                                         const char* email) {
  HXAutoLock hold(*this);
  const SearchRequest wanted = Make(callId, name, email);
  std::list<std::string> found;
  for (const auto& [key, ids] : results) {
    if (key == wanted) {
      found = ids;
      break;
    }
  }
  GCResult();
  return found;
}

void HX_SearchManager::GCRequest() {
  HXAutoLock hold(*this);
  const uint64_t now = m_ticks();
  for (auto it = requests.begin(); it != requests.end();) {
    it = (now - it->time >= kMaxAgeMs) ? requests.erase(it) : std::next(it);
  }
}

void HX_SearchManager::GCResult() {
  HXAutoLock hold(*this);
  const uint64_t now = m_ticks();
  for (auto it = results.begin(); it != results.end();) {
    if (now - it->first.time >= kMaxAgeMs) {
      if (it == currentResult) currentResult = results.end();
      it = results.erase(it);
    } else {
      ++it;
    }
  }
}

size_t HX_SearchManager::PendingCount() {
  HXAutoLock hold(*this);
  return requests.size();
}

HX_UserDetailsStorage::Information::Information(const char* firstName, const char* lastName,
                                                const char* company, const char* phone,
                                                const char* displayName, const char* callId)
    : firstName(Text(firstName)),
      lastName(Text(lastName)),
      company(Text(company)),
      phone(Text(phone)),
      displayName(Text(displayName)),
      callId(Text(callId)) {}

HX_UserDetailsStorage::Information::Information(std::string firstName, std::string lastName,
                                                std::string company, std::string phone,
                                                std::string displayName, std::string callId)
    : firstName(std::move(firstName)),
      lastName(std::move(lastName)),
      company(std::move(company)),
      phone(std::move(phone)),
      displayName(std::move(displayName)),
      callId(std::move(callId)) {}

HX_UserDetailsStorage::Information HX_UserDetailsStorage::GetUserDetails(const std::string& user) {
  HXAutoLock hold(*this);
  const auto found = details.find(user);
  return found == details.end() ? Information() : found->second;
}

bool HX_UserDetailsStorage::IsUserDetailsExists(const std::string& user) {
  HXAutoLock hold(*this);
  return details.count(user) != 0;
}

void HX_UserDetailsStorage::SetUserDetails(const std::string& user, const Information& info,
                                           bool fromServer) {
  HXAutoLock hold(*this);
  Information merged = details.count(user) ? details[user] : Information();
  auto take = [](std::string& old, const std::string& fresh) {
    if (!fresh.empty()) old = fresh;
  };
  take(merged.firstName, info.firstName);
  take(merged.lastName, info.lastName);
  take(merged.company, info.company);
  take(merged.phone, info.phone);
  take(merged.displayName, info.displayName);
  take(merged.callId, info.callId);
  merged.state = fromServer ? 0 : 1;
  details[user] = std::move(merged);
}

void HX_UserDetailsStorage::userDetailsRequestSent(const std::string& user) {
  HXAutoLock hold(*this);
  details[user].state = 2;
}
