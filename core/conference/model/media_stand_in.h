#pragma once
// conference::MediaStandIn: the stand-in for a conference's stream operations (creating and
// connecting streams, the server's stream notices, direct-connection trials and accepted
// connections) until the media streams land. Each operation records its call, by name with its
// peer, and answers what a test set for that name (false when nothing was set).
//
// Thread safety: locked; a test may read the record while the conference runs on another thread.

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace conference {

class MediaStandIn {
 public:
  // Records "name peer" and answers the answer set for `name`.
  bool call(const std::string& name, const std::string& peer = std::string()) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.push_back(peer.empty() ? name : name + " " + peer);
    const auto found = m_answers.find(name);
    return found != m_answers.end() && found->second;
  }
  void setAnswer(const std::string& name, bool answer) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_answers[name] = answer;
  }
  std::vector<std::string> calls() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
  }

 private:
  mutable std::mutex m_mutex;
  std::vector<std::string> m_calls;
  std::map<std::string, bool> m_answers;
};

}  // namespace conference
