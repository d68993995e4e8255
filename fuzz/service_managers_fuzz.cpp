// Feeds messages as the server would send them to the login, network-configuration and client
// services: the first byte picks the manager, the session state and whether the rest is read as a
// container's wire form (arbitrary serialised bodies) or builds a container from a few method
// names and keys, so that every handler and every key of every type comes up. Endpoint blobs are
// built with their checksums right so that the list reader's fields are reached.
//
// After each message: the managers answer as promised (every message true, except a refused
// account update), the request counter stays clear of its two tag bits, the endpoint lists
// signalled hold endpoints, and a protocol version made of a few digits is read as their value.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/base/container.h"
#include "core/client/fsm_shared.h"
#include "core/client/service_managers.h"
#include "core/net/address/acceptor_info.h"
#include "core/net/socket/native_socket_details.h"
#include "core/transport/session.h"
#include "core/wire/client_message.h"

namespace {

// A session without a connection: what is sent is dropped, what the login service reports is
// accepted.
class FuzzSession : public HX_TransportSession {
 public:
  uint32_t GetNextSequence() override { return ++m_sequence; }
  HXZNativeSocketDetails GetTransportAddress() const override { return HXZNativeSocketDetails(); }
  bool getLocalBind(HXSockAddr&) const override { return false; }
  std::shared_ptr<HX_TransportConnectionParam> getConnectionParam() const override { return nullptr; }
  bool Login(const char*, const char*, bool, bool) override { return false; }
  bool Logout(bool, bool) override { return true; }
  bool QueuePacket(HX_ClientMessage* message) override {
    delete message;
    ++sent;
    return false;
  }
  const char* TransportCid() const override { return ""; }
  const char* TransportSid() const override { return ""; }
  void shutdown() override {}
  void onTrSessionStateChanged(int32_t, int32_t) override {}
  bool onLogin(const char* user, int32_t, const char* key, const char* app) override {
    if (user == nullptr || key == nullptr || app == nullptr) std::abort();
    return true;
  }
  void onAcceptorsListUpdated(const HXZAcceptorInfo&) override {}
  void SetNetConfig(std::shared_ptr<HX_NetConfigManager> netConfig) {
    HXAutoLock lock(m_membersLock);
    m_netConfigManager = std::move(netConfig);
  }
  int sent = 0;

 private:
  uint32_t m_sequence = 0;
};

// One shared state for every input, in a working folder of its own.
struct Environment {
  Environment() {
    char pattern[] = "/tmp/hx_service_fuzz_XXXXXX";
    if (mkdtemp(pattern) == nullptr) std::abort();
    dir = pattern;
    HXFSMShared::Env()->SetWorkingDir(dir.c_str());
    fsm = std::make_unique<HXFSMShared>();
    fsm->SetAppName("Fuzz");
  }
  ~Environment() {
    fsm.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  std::string dir;
  std::unique_ptr<HXFSMShared> fsm;
};

Environment& Env() {
  static Environment environment;
  return environment;
}

void Store32(uint8_t* p, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t Load32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void Seal(std::vector<uint8_t>& data) {
  if (data.size() < 4) return;
  const size_t length = data.size();
  uint32_t sum = static_cast<uint32_t>((length >> 2) + (length & 3)) + 0x3D141591u;
  size_t i = 4;
  for (; i + 4 <= length; i += 4) sum += Load32(data.data() + i);
  for (; i < length; ++i) sum += data[i];
  Store32(data.data(), sum);
}

// An endpoint list blob of up to three records made from `take` bytes, checksums right.
std::vector<uint8_t> Blob(const uint8_t* bytes, size_t take) {
  std::vector<uint8_t> blob(8, 0);
  const uint32_t count = take > 0 ? bytes[0] % 4 : 0;
  Store32(blob.data() + 4, count);
  for (uint32_t r = 0; r < count; ++r) {
    HX_Endpoint endpoint(static_cast<hx::EpType>(r % 4), "", r < take ? "192.0.2.1" : "",
                         static_cast<uint16_t>(take * 31 + r), "", 1080, "", "", 4, "", 8080, "", "");
    size_t size = 0;
    endpoint.Serialize(nullptr, size);
    std::vector<uint8_t> record(size);
    if (!endpoint.Serialize(record.data(), size)) std::abort();
    // Damage a field now and then, keeping the checksum right.
    if (take > 1 + r && (bytes[1 + r] & 1) && record.size() > 4) {
      record[4 + bytes[1 + r] % (record.size() - 4)] ^= bytes[1 + r];
      Seal(record);
    }
    uint8_t size_field[4];
    Store32(size_field, static_cast<uint32_t>(record.size()));
    blob.insert(blob.end(), size_field, size_field + 4);
    blob.insert(blob.end(), record.begin(), record.end());
  }
  Seal(blob);
  return blob;
}

// Per entry: a name byte, a type byte and a value byte (a length for texts and binaries).
HX_Container Built(const uint8_t* data, size_t size) {
  static const char* const kMethods[] = {
      "UserLoggedin", "UserLoggedout",       "UpdateAccount",   "Authorize", "SetProps",
      "RedirectTo",   "UpdateConfiguration", "TryAcceptDirect", "",          "userloggedin"};
  static const char* const kNames[] = {"Result",
                                       "Field1",
                                       "Rights",
                                       "Type",
                                       "Key",
                                       "UserName",
                                       "Name",
                                       "EpConfig",
                                       "Session",
                                       "Property",
                                       "server_protocol_version",
                                       "call_history_as_one_list",
                                       "Cause",
                                       "TarifRestr",
                                       "DisplayName",
                                       "TarifName",
                                       "Services",
                                       "CallId",
                                       "Method"};
  static const int32_t kInts[] = {0, 1, 2, 3, 4, 5, 7, 8, 9, 10, 65213, 0x11, 0x01, -1, 0x7fffffff, 900000};
  constexpr size_t kNameCount = sizeof(kNames) / sizeof(kNames[0]);
  HX_Container c;
  if (size > 0) c.AddValue("Method", kMethods[data[0] % 10]);
  size_t i = 1;
  while (i + 3 <= size) {
    const char* name = kNames[data[i] % kNameCount];
    const uint8_t type = data[i + 1];
    const uint8_t v = data[i + 2];
    i += 3;
    switch (type % 7) {
      case 0:
        c.AddValue(name, static_cast<int32_t>(kInts[v % 16]));
        break;
      case 1:
        c.AddValue(name, static_cast<int64_t>(v));
        break;
      case 2: {  // a text of the next v % 24 bytes
        const size_t take = std::min<size_t>(v % 24, size - i);
        std::string text(reinterpret_cast<const char*>(data + i), take);
        i += take;
        c.AddValue(name, text.c_str());
        break;
      }
      case 3: {  // a binary of the next bytes
        const size_t take = std::min<size_t>(v % 64, size - i);
        c.AddValue(name, HX_CNT_BINARY_VT, data + i, take);
        i += take;
        break;
      }
      case 4: {  // an endpoint list made right
        const size_t take = std::min<size_t>(v % 8, size - i);
        const std::vector<uint8_t> blob = Blob(data + i, take);
        i += take;
        c.AddValue(name, HX_CNT_BINARY_VT, blob.data(), blob.size());
        break;
      }
      case 5: {  // a nested container of a few texts
        HX_Container nested;
        nested.AddValue("email_login_session_timeout", v % 2 ? "1" : "junk");
        nested.AddValue("p", name);
        c.AddValue(name, nested);
        break;
      }
      default:
        c.AddValue(name, std::to_string(static_cast<int>(v) - 100).c_str());
        break;
    }
  }
  return c;
}

struct Lists {
  void OnList(const char*, const char*, const HX_TransportEndpointList& list) { Check(list); }
  void OnRedirect(const char* server, const HX_TransportEndpointList& list) {
    if (server == nullptr) std::abort();
    Check(list);
  }
  void OnSid(const char* sid) {
    if (sid == nullptr) std::abort();
  }
  static void Check(const HX_TransportEndpointList& list) {
    for (const auto& endpoint : list) {
      if (!endpoint) std::abort();
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  Environment& env = Env();
  const uint8_t control = data[0];
  ++data;
  --size;
  HX_Container message;
  if ((control & 0x08) == 0 || !message.Deserialize(data, size)) message = Built(data, size);

  auto session = std::make_shared<FuzzSession>();
  static const int32_t kStates[] = {0, 3, 4, 5};
  session->setStateTrs(kStates[(control >> 4) & 3]);
  auto login = std::make_shared<HX_LoginManager>(session, env.fsm.get());
  auto netConfig = std::make_shared<HX_NetConfigManager>(session, env.fsm.get());
  HX_ClientManager client(session, env.fsm.get());
  session->SetNetConfig(netConfig);
  Lists lists;
  netConfig->endpointListSignal.Connect(&lists, &Lists::OnList);
  netConfig->redirectSignal.Connect(&lists, &Lists::OnRedirect);
  client.directAcceptSignal.Connect(&lists, &Lists::OnSid);
  // A login under way, so that answers find credentials (an e-mail key now and then).
  if (control & 0x40) {
    session->setStateTrs(HX_TransportSession::eConnected);
    login->mLogin("user@fuzz.example", (control & 0x80) ? "$71$key" : "pw", true, (control & 0x04) != 0);
    session->setStateTrs(kStates[(control >> 4) & 3]);
  }

  std::string method;
  message.GetValue("Method", method);
  switch (control % 3) {
    case 0: {
      const bool handled = login->ParseIncomimgMessage(message);
      if (!handled && method != "UpdateAccount") std::abort();
      break;
    }
    case 1: {
      std::string version;
      const bool hasVersion = method == "SetProps" && message.GetValue("server_protocol_version", version);
      if (!netConfig->ParseIncomimgMessage(message)) std::abort();
      if (hasVersion && !version.empty() && version.size() <= 9 &&
          version.find_first_not_of("0123456789") == std::string::npos &&
          netConfig->getSrvProtocolVersion() != std::atoi(version.c_str())) {
        std::abort();
      }
      break;
    }
    default:
      if (!client.ParseIncomimgMessage(message)) std::abort();
      break;
  }
  if ((login->requestCounter() & 0x18000u) != 0) std::abort();
  // A delayed check with whatever tag the input gives must be harmless too.
  if (size >= 4) login->CheckLogin(Load32(data));
  login->SendSessionKeyUpdate(static_cast<uint64_t>(size) << 28);
  session->SetNetConfig(nullptr);
  return 0;
}
