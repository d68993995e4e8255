// Feeds arbitrary containers to the conference service's ParseIncomimgMessage over a store that
// holds a conference in each state: a requested private call with a peer invited, a joined group
// conference with a participant, a requested multicast conference and a deleted one. The first
// byte picks whether the rest is read as a container's wire form or builds a container from the
// service's method and key names with values of every type (known ids and SIDs, multicast
// addresses, capability records and endpoint records among them), so that every handler and
// every key is reached.
//
// Bit 2 of the first byte makes the built container a "FECC" whatever the method pick says, and
// bit 3 puts the session in its logged-in state, so that camera-control requests reach the rules
// and their answers the checked send; the joined group conference (the active one) holds three
// peers whose camera-control states, and the own policy, come from the input, and a device-control
// interface that checks what its parsers hand over.
//
// After each message: an unknown method answers false, the store holds no more conferences than
// it started with plus one, every conference it holds can still be locked and read, and every
// peer's camera-control request and grant states stay within their ranges.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/base/container.h"
#include "core/client/fsm_shared.h"
#include "core/conference/conf_manager.h"
#include "core/conference/control/conf_ctrl_interface.h"
#include "core/wire/client_caps.h"
#include "core/wire/client_message.h"
#include "core/wire/endpoint_record.h"
#include "fuzz/fuzz_session.h"

namespace {

constexpr char kMe[] = "me@fuzz.example";

// Reads every value its parsers hand over, so that a bad read shows under the sanitizers.
class TouchingCtrl : public conference::HX_ConfCtrlInterface {
 public:
  TouchingCtrl() : HX_ConfCtrlInterface("group@brk") {}
  void OnChangeDevice(const std::string& id, conference::DeviceConfig::DeviceType, int) override {
    Touch(id);
  }
  void OnSetDeviceState(const std::string& id, int, int, bool, int) override { Touch(id); }
  void OnQueryDevices(const std::string& user, int) override { Touch(user); }
  void OnDevicesList(const std::string& user, const conference::DeviceConfigList& list) override {
    Touch(user);
    for (const conference::DeviceConfig& device : list) Touch(device.id + device.name);
  }
  void OnDeviceChanged(const std::string& user, const std::string& id, int) override {
    Touch(user + id);
  }
  void OnDeviceState(const std::string& user, const conference::DeviceConfig& device,
                     conference::DeviceChangeDesc) override {
    Touch(user + device.id + device.name);
  }

 private:
  void Touch(const std::string& text) {
    for (char c : text) m_sum += static_cast<unsigned char>(c);
  }
  unsigned m_sum = 0;
};

hx::fuzz::FuzzEnvironment& Env() {
  static auto* environment = new hx::fuzz::FuzzEnvironment(kMe, true);
  return *environment;
}

const char* const kMethods[] = {"ConferenceCreated",
                                "ConferenceDeleted",
                                "UserRegistrationInfo",
                                "ConfigurationUpdated",
                                "Invite",
                                "InviteToMulti",
                                "InviteReply",
                                "Accept",
                                "Reject",
                                "Join",
                                "ReceiverConnected",
                                "SenderConnected",
                                "ReqInvite",
                                "ListenersFltr",
                                "SendCommand",
                                "RoleEvent",
                                "DeviceStatus",
                                "FECC",
                                "ManageLayout",
                                "ChangeDevice",
                                "SetDeviceState",
                                "QueryDevices",
                                "DevicesList",
                                "DeviceChanged",
                                "DeviceState",
                                "Unknown",
                                "invite"};
const char* const kKeys[] = {"Result",          "Name",
                             "CallId",          "UserName",
                             "DisplayName",     "Conference",
                             "topic",           "Password",
                             "DirectConnect",   "NeedConnectInfo",
                             "ClientCaps",      "Type",
                             "SubType",         "Scope",
                             "MustJoin",        "id",
                             "Instance",        "SymKey",
                             "CMRFlags",        "Cause",
                             "MaxCast",         "MaxPartisipants",
                             "SVCMode",         "LStatus",
                             "URL_PARAM",       "IPConfig",
                             "IPv6Config",      "MediaFiltr",
                             "DeviceStatus",    "Port",
                             "McastIp",         "Key",
                             "RestrictBtr",     "RestrictBtrSVC",
                             "RestrictBtrMin",  "RestrictFramerate",
                             "RequestKeyFrame", "Layout",
                             "CallID2",         "Method",
                             "From",            "To",
                             "FeccState",       "PresetNum",
                             "Volume",          "Mute",
                             "Role",            "IsOperator",
                             "PreviewWidthParam", "PreviewHeightParam",
                             "PreviewBodyParam"};
const char* const kTexts[] = {kMe,
                              "peer@fuzz.example",
                              "grp@fuzz.example/1",
                              "call@brk",
                              "group@brk",
                              "mcast@brk",
                              "gone@brk",
                              "",
                              "239.1.2.3",
                              "10.0.0.1",
                              "1",
                              "peer@fuzz.example/tr",
                              "grp@fuzz.example",
                              "camera",
                              "microphone"};

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
  bool empty() const { return m_pos >= m_size; }
  uint8_t byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
  int32_t int32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(byte()) << (8 * i);
    return static_cast<int32_t>(v);
  }
  std::vector<uint8_t> bytes(size_t n) {
    n = std::min(n, m_size - std::min(m_pos, m_size));
    std::vector<uint8_t> out(m_data + m_pos, m_data + m_pos + n);
    m_pos += n;
    return out;
  }

 private:
  const uint8_t* m_data;
  size_t m_size;
  size_t m_pos = 0;
};

std::vector<uint8_t> CapsBlob(Reader& in) {
  HX_ClientCaps caps;
  caps.m_bandwidthRcv = in.int32();
  caps.m_streamsDirCon = in.byte();
  caps.m_videoRcv = in.byte() & 1;
  caps.m_videoSnd = in.byte() & 1;
  uint8_t* buffer = nullptr;
  size_t length = 0;
  std::vector<uint8_t> out;
  if (caps.Get(buffer, length) && buffer != nullptr) out.assign(buffer, buffer + length);
  std::free(buffer);
  return out;
}

std::vector<uint8_t> EndpointBlob(Reader& in) {
  HX_Endpoint endpoint(nullptr, hx::tcpConnect);
  endpoint.SetHost(kTexts[in.byte() % (sizeof(kTexts) / sizeof(kTexts[0]))]);
  endpoint.SetPort(static_cast<uint16_t>(in.int32()));
  size_t size = 0;
  endpoint.Serialize(nullptr, size);
  std::vector<uint8_t> out(size);
  if (size == 0 || !endpoint.Serialize(out.data(), size)) return {};
  return out;
}

HX_Container Build(Reader& in, bool fecc) {
  HX_Container body;
  const uint8_t methodPick = in.byte();
  if (fecc) {
    body.AddValue("Method", "FECC");
  } else if (methodPick != 0xFF) {
    body.AddValue("Method", kMethods[methodPick % (sizeof(kMethods) / sizeof(kMethods[0]))]);
  }
  while (!in.empty()) {
    const char* key = kKeys[in.byte() % (sizeof(kKeys) / sizeof(kKeys[0]))];
    switch (in.byte() % 8) {
      case 0:
        body.AddValue(key, in.int32());
        break;
      case 1:
        body.AddValue(key, (in.byte() & 1) != 0);
        break;
      case 2:
        body.AddValue(key, kTexts[in.byte() % (sizeof(kTexts) / sizeof(kTexts[0]))]);
        break;
      case 3: {
        const auto raw = in.bytes(in.byte() % 24);
        body.AddValue(key, HX_CNT_STRING_VT, raw.data(), raw.size());
        break;
      }
      case 4: {
        const auto raw = in.bytes(in.byte() % 64);
        body.AddValue(key, HX_CNT_BINARY_VT, raw.data(), raw.size());
        break;
      }
      case 5: {
        const auto caps = CapsBlob(in);
        body.AddValue(key, HX_CNT_BINARY_VT, caps.data(), caps.size());
        break;
      }
      case 6: {
        const auto endpoint = EndpointBlob(in);
        body.AddValue(key, HX_CNT_BINARY_VT, endpoint.data(), endpoint.size());
        break;
      }
      default:
        body.AddValue(key, static_cast<int64_t>(in.int32()) << 16);
        break;
    }
  }
  return body;
}

// Camera-control states a peer can be in: request 0 to 5, grant 0 or 2 to 5.
bool FeccStatesInRange(const conference::Peer& peer) {
  return peer.feccRequestState >= 0 && peer.feccRequestState <= 5 && peer.feccGrantState >= 0 &&
         peer.feccGrantState <= 5 && peer.feccGrantState != 1;
}

size_t CountAndRead(HX_ConfManager& cm) {
  HXAutoLock guard(cm.StorageLock());
  HX_Conference* first = nullptr;
  const size_t count = cm.getConferenceByTypeCountNL(first, HX_ConfStorage::kAnyConference, 0);
  for (int32_t id = 1; id < 64; ++id) {
    HX_Conference* c = cm.getConferenceNL(id);
    if (c == nullptr) continue;
    // Every field a later message reads must still be whole.
    volatile size_t touch = c->getSID().size() + c->getCallId().size() + c->peers().size();
    (void)touch;
    for (const auto& entry : c->peers()) {
      if (!FeccStatesInRange(entry.second)) std::abort();
    }
  }
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  hx::fuzz::FuzzEnvironment& env = Env();
  env.session->m_queueAnswer = (data[0] & 2) == 0;
  const bool fecc = (data[0] & 4) != 0;
  env.session->setStateTrs((data[0] & 8) != 0 ? HX_TransportSession::eLoggedIn
                                              : HX_TransportSession::eConnected);
  auto cm = std::make_unique<HX_ConfManager>("CONFERENCE", env.session, env.fsm.get());
  {
    ConferenceLock lock;
    cm->storageCreateForeignConferenceLock(lock, "call@brk", "", "", "peer@fuzz.example", 2, 30, 0,
                                           0, 0, nullptr, false);
    lock->addPeer("peer@fuzz.example", 4);
  }
  {
    ConferenceLock lock;
    cm->storageCreateForeignConferenceLock(lock, "group@brk", "g", "", "grp@fuzz.example", 16, 0, 5,
                                           0, 0, nullptr, false);
    lock->addPeer("grp@fuzz.example", 6);
    lock->addPeer("peer@fuzz.example", 6);
    lock->addPeer("peer@fuzz.example/tr", 6);
    lock->setState(lock, conference::kStateJoined);
    lock->setConfCtrlInterface(std::make_shared<TouchingCtrl>());
    // Camera-control states from the input: the own policy, then each peer's request and grant
    // states (in range) and its policy.
    Reader states(data + 1, size - 1);
    lock->getFeccHelper().setMyState(states.byte() % 3);
    lock->forEachPeer([&](conference::Peer& peer) {
      const uint8_t b = states.byte();
      peer.feccRequestState = b % 6;
      peer.feccGrantState = (b / 6) % 6 == 1 ? 0 : (b / 6) % 6;
      peer.feccPeerState = states.byte() % 3;
    });
  }
  {
    ConferenceLock lock;
    cm->storageCreateForeignConferenceLock(lock, "mcast@brk", "m", "", "grp@fuzz.example", 16, 0, 6,
                                           0, 0, nullptr, false);
  }
  {
    ConferenceLock lock;
    cm->storageCreateForeignConferenceLock(lock, "gone@brk", "", "", "peer@fuzz.example", 2, 30, 0,
                                           0, 0, nullptr, false);
    lock->close(lock);
  }
  const size_t before = CountAndRead(*cm);

  HX_Container body;
  if ((data[0] & 1) != 0) {
    if (!body.Deserialize(data + 1, size - 1)) body.Clear();
  } else {
    Reader in(data + 1, size - 1);
    body = Build(in, fecc);
  }
  std::string method;
  body.GetValue("Method", method);
  const bool answer = cm->ParseIncomimgMessage(body);
  bool known = false;
  for (const char* name : kMethods) {
    if (method == name && method != "Unknown" && method != "invite") known = true;
  }
  for (const char* name :
       {"DeviceChanged", "DeviceState", "SetDeviceState", "QueryDevices", "DevicesList"}) {
    if (method == name) known = true;
  }
  if (answer && !known) std::abort();
  if (CountAndRead(*cm) > before + 1) std::abort();
  cm->stopJobs();
  cm.reset();
  return 0;
}
