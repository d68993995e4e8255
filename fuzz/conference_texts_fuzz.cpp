// The texts a conference takes from the server, the presence service or the user: a SID with a
// server name, the leading number of a conference id, a call link and a participant list. Lines
// of the input are, in order: SID, server, conference id text, call link, list type (first byte),
// then participant ids. Each must change only what it names: the domain never keeps a "#", the
// identity stays, no participant without an id appears, and a conference id finds a conference
// only when its text starts with that number.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/conference/conf_manager.h"
#include "core/transport/call_link.h"

namespace {

std::vector<std::string> Lines(const uint8_t* data, size_t size) {
  std::vector<std::string> lines(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == '\n') {
      lines.emplace_back();
    } else {
      lines.back().push_back(static_cast<char>(data[i]));
    }
  }
  while (lines.size() < 5) lines.emplace_back();
  return lines;
}

HX_ConfManager& Store() {
  static HX_ConfManager* store = [] {
    auto* s = new HX_ConfManager("CONFERENCE_TEXTS_FUZZ", nullptr, nullptr);
    for (int i = 0; i < 3; ++i) {
      ConferenceLock lock;
      s->storageRequestCreateConferenceLock(lock, "room", "", "owner@t", 16, 0, 5, 0, 0, nullptr,
                                            false);
    }
    return s;
  }();
  return *store;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<std::string> lines = Lines(data, size);
  HX_ConfManager& store = Store();

  ConferenceLock lock;
  if (!store.getConferenceLock(lock, 1)) std::abort();
  HX_Conference& c = *lock.conference();
  c.setSID(lines[0], lines[1]);
  if (c.getSID() != lines[0] || c.getDomain().find('#') != std::string::npos) std::abort();
  if (c.getName() != "room" || c.owner() != "owner@t") std::abort();

  HXUriProtocol link;
  if (link.parseUri(lines[3])) (void)c.isConferenceWithCallId(link);
  link.setCallId(lines[3]);
  (void)c.isConferenceWithCallId(link);

  const size_t peersBefore = c.peers().size();
  conference::PartInfoMap list;
  for (size_t i = 5; i < lines.size(); ++i)
    list.emplace(lines[i], conference::PartInfo{lines[i], 2, 1, false, 0});
  conference::ParticipantListUpdateInfo info;
  const HX_ParticipantListType type = lines[4].empty() ? 0 : static_cast<uint8_t>(lines[4][0]) % 6;
  c.setConferenceIdList(list, type, info);
  if (c.getPeer("") != nullptr) std::abort();
  if (c.peers().size() > peersBefore + list.size()) std::abort();
  // Keep the conference small across runs.
  c.clearPeers();
  c.addPeer("owner@t", 0);
  lock.Unlock();

  ConferenceLock found;
  if (store.getWaitingConferenceByUniqId(found, lines[2].c_str(), 0x1002)) {
    std::istringstream in(lines[2]);
    long long value = 0;
    if (!(in >> value) || value != found->getId()) std::abort();
  }
  return 0;
}
