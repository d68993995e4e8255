// Feeds arbitrary containers to the presence manager's ParseIncomimgMessage over a conference
// store that holds conferences of types 0, 5 and 6 in the states requested, joined and deleted
// (the joined group conference is the active one). The first byte picks whether the rest is read
// as a container's wire form or builds a container from the service's method and key names with
// values of every type (known user ids and conference SIDs, nested extended-status containers,
// cut and garbage binaries among them), so that every handler and every key is reached.
//
// After each message: the three methods answer true and anything else false; the store holds the
// same conferences, each still lockable and readable (the unit tests check the values).
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/base/container.h"
#include "core/client/fsm_shared.h"
#include "core/client/manager_holder.h"
#include "core/conference/conf_manager.h"
#include "core/contacts/contact_managers.h"
#include "core/contacts/presence/presence_manager.h"
#include "core/transport/session.h"
#include "core/wire/client_message.h"
#include "fuzz/fuzz_session.h"

namespace {

constexpr char kMe[] = "me@fuzz.example";

using hx::fuzz::FuzzSession;

// The client object's part: hands the managers to each other.
class Holder : public ManagerHolderBase {
 public:
  HXFSMShared* getFSM() const override { return fsm; }
  HX_ClientManager* clientManager() const override { return nullptr; }
  HX_ConfManager* confManager() const override { return cm; }
  HXConsoleClient* consoleClient() const override { return nullptr; }
  std::shared_ptr<HX_ContactsManager> contactsManager() const override { return contacts; }
  HXFSMShared* fsm = nullptr;
  HX_ConfManager* cm = nullptr;
  std::shared_ptr<HX_ContactsManager> contacts;
};

struct Environment {
  Environment() {
    char pattern[] = "/tmp/hx_presence_fuzz_XXXXXX";
    if (mkdtemp(pattern) == nullptr) std::abort();
    dir = pattern;
    HXFSMShared::Env()->SetWorkingDir(dir.c_str());
    fsm = std::make_unique<HXFSMShared>();
    fsm->SetAppName("Fuzz");
    session = std::make_shared<FuzzSession>();
    session->setFSMShared(fsm.get());
    session->SetLogin(kMe);
    session->setStateTrs(HX_TransportSession::eLoggedIn);
    session->setSid("sess@fuzz#1");
    fsm->setTransportSession(session);
    holder.fsm = fsm.get();
    holder.contacts = std::make_shared<HX_ContactsManager>(session, fsm.get(),
                                                           std::make_shared<HX_GrossBuchCache>());
    fsm->setManagerHolder(&holder);
  }
  std::string dir;
  std::unique_ptr<HXFSMShared> fsm;
  std::shared_ptr<FuzzSession> session;
  Holder holder;
};

Environment& Env() {
  static Environment* environment = new Environment();
  return *environment;
}

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
  bool more() const { return m_pos < m_size; }
  uint8_t byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
  int32_t int32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(byte()) << (8 * i);
    return static_cast<int32_t>(v);
  }
  std::string bytes(size_t most) {
    const size_t wanted = byte() % (most + 1);
    const size_t n = std::min<size_t>(wanted, m_size - m_pos);
    std::string out(reinterpret_cast<const char*>(m_data + m_pos), n);
    m_pos += n;
    return out;
  }

 private:
  const uint8_t* m_data;
  size_t m_size;
  size_t m_pos = 0;
};

const char* const kMethods[] = {"UpdateStatus", "GetAllUserStatus", "SendPartsList", "Subscribe", ""};
const char* const kKeys[] = {"Method",   "SeqID",       "Cause",      "CallId",       "UserPresStatus",
                             "ExtSt",    "Conference",  "Type",       "UserName",     "DisplayName",
                             "Role",     "DeviceStatus", "IsOperator", "VideoType",   "username",
                             "DelExtSt", "fwd_type",    "fwd_call_id", "fwd_timeout", "x"};
const char* const kTexts[] = {"call@brk",  "group@brk",          "mcast@brk", "gone@brk",       "req@brk",
                              "none@brk",  "peer@fuzz.example",  kMe,         "grp@fuzz.example", "",
                              "a@fuzz",    "peer@fuzz.example/tr"};

HX_Container Build(Reader& in, int depth);

void AddValue(Reader& in, HX_Container& body, const char* key, int depth) {
  switch (in.byte() % 7) {
    case 0:
      body.AddValue(key, kTexts[in.byte() % (sizeof(kTexts) / sizeof(kTexts[0]))]);
      break;
    case 1:
      body.AddValue(key, in.int32() % 8);
      break;
    case 2:
      body.AddValue(key, in.int32());
      break;
    case 3:
      body.AddValue(key, (in.byte() & 1) != 0);
      break;
    case 4: {
      const std::string raw = in.bytes(24);
      body.AddValue(key, HX_CNT_BINARY_VT, raw.data(), raw.size());
      break;
    }
    case 5:
      if (depth < 2) body.AddValue(key, Build(in, depth + 1));
      break;
    default:
      body.AddValue(key, static_cast<int64_t>(in.int32()) << 20);
      break;
  }
}

HX_Container Build(Reader& in, int depth) {
  HX_Container body;
  if (depth == 0) body.AddValue("Method", kMethods[in.byte() % (sizeof(kMethods) / sizeof(kMethods[0]))]);
  int entries = 0;
  while (in.more() && entries++ < 64) {
    const uint8_t pick = in.byte();
    const char* key = kKeys[pick % (sizeof(kKeys) / sizeof(kKeys[0]))];
    if (pick >= 250 && depth == 0) {
      // A long list of participants or statuses in one go.
      for (int i = 0; i < 300; ++i) {
        const std::string id = "bulk" + std::to_string(i) + "@fuzz";
        body.AddValue(pick & 1 ? "UserName" : "CallId", id.c_str());
        body.AddValue(pick & 1 ? "VideoType" : "UserPresStatus", i % 6);
      }
      continue;
    }
    AddValue(in, body, key, depth);
  }
  return body;
}

// How many conferences the store holds; each is locked and read.
size_t CountAndRead(HX_ConfManager& cm) {
  size_t count = 0;
  for (const char* sid : {"call@brk", "group@brk", "mcast@brk", "gone@brk", "req@brk"}) {
    ConferenceLock lock;
    if (!cm.getConferenceLock(lock, std::string(sid))) continue;
    ++count;
    std::set<conference::PeerId> ids;
    lock->getConferenceIdList(ids);
    for (const conference::PeerId& id : ids) {
      if (id.id.empty()) std::abort();
    }
  }
  return count;
}

void AddConference(HX_ConfManager& cm, const char* sid, HX_Conference_Type type, conference::State state) {
  ConferenceLock lock;
  if (!cm.storageCreateForeignConferenceLock(lock, sid, "room", "", "grp@fuzz.example", 16, 0, type, 0, 0, nullptr,
                                             false)) {
    std::abort();
  }
  lock->addPeer("peer@fuzz.example", type == 0 ? 4 : 6);
  if (state == conference::kStateDeleted) {
    lock->close(lock);
  } else if (state != conference::kStateRequested) {
    lock->setState(lock, state);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  Environment& env = Env();
  auto cm = std::make_unique<HX_ConfManager>("CONFERENCE", env.session, env.fsm.get());
  env.holder.cm = cm.get();
  AddConference(*cm, "call@brk", 0, conference::kStateJoined);
  AddConference(*cm, "group@brk", 5, conference::kStateJoined);
  AddConference(*cm, "mcast@brk", 6, conference::kStateRequested);
  AddConference(*cm, "req@brk", 5, conference::kStateRequested);
  AddConference(*cm, "gone@brk", 0, conference::kStateDeleted);
  const size_t before = CountAndRead(*cm);
  auto presence = std::make_unique<HX_PresenceManager>(env.session, env.fsm.get());

  HX_Container body;
  if ((data[0] & 1) != 0) {
    if (!body.Deserialize(data + 1, size - 1)) body.Clear();
  } else {
    Reader in(data + 1, size - 1);
    body = Build(in, 0);
  }
  std::string method;
  body.GetValue("Method", method);
  const bool known = method == "UpdateStatus" || method == "GetAllUserStatus" || method == "SendPartsList";
  if (presence->ParseIncomimgMessage(body) != known) std::abort();
  if (CountAndRead(*cm) != before) std::abort();

  presence.reset();
  env.holder.cm = nullptr;
  cm.reset();
  env.fsm->ClearStatusHolder();
  env.fsm->ClearExtStatusHolder();
  return 0;
}
