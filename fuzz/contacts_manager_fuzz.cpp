// Feeds arbitrary containers to the address-book manager's ParseIncomimgMessage over a contact
// store that the inputs fill and an open address-book cache in a temporary folder. The first
// byte picks whether the rest is read as a container's wire form or builds a container from the
// service's method and key names with values of every type (small and huge counts, book ids,
// known and empty ids, group ids as text and as numbers), so that every handler and walk is
// reached.
//
// After each message: every stored contact has an id (no contact is ever made from a missing
// one), and the cache and the store can still be read.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/base/container.h"
#include "core/client/fsm_shared.h"
#include "core/contacts/addressbook/contacts_manager.h"
#include "core/storage/db_manager.h"
#include "core/transport/session.h"
#include "core/wire/client_message.h"
#include "fuzz/fuzz_session.h"

namespace {

constexpr char kMe[] = "me@fuzz.example";

using hx::fuzz::FuzzSession;

struct Environment {
  Environment() {
    char pattern[] = "/tmp/hx_abook_fuzz_XXXXXX";
    if (mkdtemp(pattern) == nullptr) std::abort();
    dir = std::string(pattern) + "/";
    HX_DBManager::instance();
    HXFSMShared::Env()->SetWorkingDir(dir.c_str());
    fsm = std::make_unique<HXFSMShared>();
    session = std::make_shared<FuzzSession>();
    session->setFSMShared(fsm.get());
    session->SetLogin(kMe);
    session->setStateTrs(HX_TransportSession::eConnected);
    fsm->setTransportSession(session);
    cache = std::make_shared<HX_GrossBuchCache>();
    if (!cache->OpenDatabase(kMe, dir.c_str())) std::abort();
    manager = std::make_unique<HX_ContactsManager>(session, fsm.get(), cache);
  }
  std::string dir;
  std::unique_ptr<HXFSMShared> fsm;
  std::shared_ptr<FuzzSession> session;
  std::shared_ptr<HX_GrossBuchCache> cache;
  std::unique_ptr<HX_ContactsManager> manager;
};

Environment& Env() {
  static Environment* environment = new Environment();
  return *environment;
}

const char* const kMethods[] = {
    "SearchAddressBook", "AddToAddressBook", "RemoveFromAddressBook", "UpdateAddressBook",
    "ManageGroups",      "GetUserStatus",    "searchaddressbook",     "Other"};
const char* const kKeys[] = {
    "AddressBook", "Result",      "Cause",   "Hash",    "CallId",       "UserName",
    "DisplayName", "editable",    "GID",     "GName",   "GType",        "id",
    "phone",       "Type",        "LStatus", "CallID2", "Alias",        "Query",
    "avatar",      "avatar_type", "SeqID",   "NewUser", "RealID",       "UserPresStatus",
    "FirstName",   "callid",      "Method",  "picture", "RequestCallID"};
const char* const kTexts[] = {
    kMe, "ann@fuzz.example", "bob@fuzz.example", "", "#tel:+1", "12", "-3", "99999999999", "x"};
const int32_t kInts[] = {0,  1,  2,  3,  6,  8,  11,         15,
                         16, 17, 19, 21, -1, -5, 2147483647, static_cast<int32_t>(0x80000000)};

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
  bool empty() const { return m_pos >= m_size; }
  uint8_t byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }

 private:
  const uint8_t* m_data;
  size_t m_size;
  size_t m_pos = 0;
};

template <typename T, size_t N>
const T& Pick(const T (&list)[N], uint8_t byte) {
  return list[byte % N];
}

void Build(Reader& in, HX_Container& body) {
  body.AddValue("Method", Pick(kMethods, in.byte()));
  while (!in.empty()) {
    const char* key = Pick(kKeys, in.byte());
    const uint8_t type = in.byte();
    switch (type % 5) {
      case 0:
        body.AddValue(key, Pick(kInts, in.byte()));
        break;
      case 1:
        body.AddValue(key, Pick(kTexts, in.byte()));
        break;
      case 2:
        body.AddValue(key, (in.byte() & 1) != 0);
        break;
      case 3: {
        const std::vector<uint8_t> bytes(in.byte() * 16u, 0x5a);
        body.AddValue(key, HX_CNT_BINARY_VT, bytes.data(), bytes.size());
        break;
      }
      default:
        body.AddValue(key, static_cast<int64_t>(Pick(kInts, in.byte())));
        break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  Environment& env = Env();
  HX_Container body;
  if ((data[0] & 1) != 0) {
    if (!body.Deserialize(data + 1, size - 1)) body.Clear();
  } else {
    Reader in(data + 1, size - 1);
    Build(in, body);
  }
  env.manager->ParseIncomimgMessage(body);
  const HX_ContactStorage::ContactSet& contacts = env.fsm->LockContactList();
  for (const hx::Contact& contact : contacts) {
    if (contact.peerId.empty()) std::abort();
  }
  env.fsm->UnlockContactList();
  env.cache->GetContacts();
  env.cache->GetBookHash(HX_AB_CONTACTS);
  return 0;
}
