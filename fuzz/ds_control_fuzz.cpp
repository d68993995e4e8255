// Feeds arbitrary containers to the remote desktop control manager ("DS_CONTROL") and to the
// device-control parser of a conference, over a store that holds a joined group conference with
// peers (the active one) and a requested call. The conference carries a recording device-control
// interface; its remote-control sets and own video source type are preset from the input, so that
// every branch of the four handlers is reached. The first byte picks: bit 0 the container's wire
// form or one built from the services' method and key names, bit 1 whether requests are queued,
// bits 2-4 the video source type, bit 5 whether the sets start filled.
//
// Checks: the manager answers true only for its four methods, the parser only for the six
// device-control methods (exactly one handler call then, none otherwise), device types stay within
// -1..3, and every conference can still be locked and read afterwards.
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
#include "core/conference/desktop_remote_control.h"
#include "core/conference/service/message_reader.h"
#include "core/wire/client_message.h"
#include "fuzz/fuzz_session.h"

namespace {

constexpr char kMe[] = "me@fuzz.example";
const char* const kPeers[] = {"bob@fuzz.example", "carol@fuzz.example"};

hx::fuzz::FuzzEnvironment& Env() {
  static auto* environment = new hx::fuzz::FuzzEnvironment(kMe, false);
  return *environment;
}

void CheckType(conference::DeviceConfig::DeviceType type) {
  if (type < -1 || type > 3) std::abort();
}

class CountingCtrl : public conference::HX_ConfCtrlInterface {
 public:
  CountingCtrl() : HX_ConfCtrlInterface("grp@brk") {}
  void OnChangeDevice(const std::string& id, conference::DeviceConfig::DeviceType type,
                      int) override {
    CheckType(type);
    touch += id.size();
    ++calls;
  }
  void OnSetDeviceState(const std::string& id, int flags, int, bool, int) override {
    if (flags < 0 || flags > 3) std::abort();
    touch += id.size();
    ++calls;
  }
  void OnQueryDevices(const std::string& user, int) override {
    touch += user.size();
    ++calls;
  }
  void OnDevicesList(const std::string& user,
                     const conference::DeviceConfigList& devices) override {
    for (const auto& d : devices) {
      CheckType(d.type);
      touch += d.id.size() + d.name.size();
    }
    touch += user.size();
    ++calls;
  }
  void OnDeviceChanged(const std::string& user, const std::string& id, int) override {
    touch += user.size() + id.size();
    ++calls;
  }
  void OnDeviceState(const std::string& user, const conference::DeviceConfig& device,
                     conference::DeviceChangeDesc desc) override {
    CheckType(device.type);
    if (desc.flags < 0 || desc.flags > 3 || !device.name.empty()) std::abort();
    touch += user.size() + device.id.size();
    ++calls;
  }
  int calls = 0;
  size_t touch = 0;
};

const char* const kDsMethods[] = {"DSControlFinished", "DSControlRequest", "DSCommand",
                                  "DSControlResponse"};
const char* const kCtrlMethods[] = {"ChangeDevice", "SetDeviceState", "QueryDevices",
                                    "DevicesList",  "DeviceChanged",  "DeviceState"};
const char* const kOtherMethods[] = {"DSControlFinish", "VideoSourceType", "dscommand", "FECC", ""};
const char* const kKeys[] = {"Conference", "From",     "To",     "Name", "Result",
                             "Data",       "UserName", "Type",   "id",   "Volume",
                             "Mute",       "Cause",    "Method", "ID",   "type"};
const char* const kTexts[] = {kMe,       "bob@fuzz.example", "carol@fuzz.example",
                              "grp@brk", "call@brk",         "gone@brk",
                              "",        "camera",           "desktop",
                              "speaker", "microphone",       "Camera"};

template <typename T, size_t N>
constexpr size_t Count(T (&)[N]) {
  return N;
}

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

HX_Container Build(Reader& in) {
  HX_Container body;
  const uint8_t pick = in.byte();
  const size_t methods = Count(kDsMethods) + Count(kCtrlMethods) + Count(kOtherMethods);
  if (pick != 0xFF) {
    size_t m = pick % methods;
    const char* method = m < Count(kDsMethods) ? kDsMethods[m]
                         : (m -= Count(kDsMethods)) < Count(kCtrlMethods)
                             ? kCtrlMethods[m]
                             : kOtherMethods[m - Count(kCtrlMethods)];
    body.AddValue("Method", method);
  }
  while (!in.empty()) {
    const char* key = kKeys[in.byte() % Count(kKeys)];
    switch (in.byte() % 6) {
      case 0:
        body.AddValue(key, in.int32());
        break;
      case 1:
        body.AddValue(key, (in.byte() & 1) != 0);
        break;
      case 2:
      case 3:
        body.AddValue(key, kTexts[in.byte() % Count(kTexts)]);
        break;
      case 4: {
        const auto raw = in.bytes(in.byte() % 24);
        body.AddValue(key, HX_CNT_STRING_VT, raw.data(), raw.size());
        break;
      }
      default: {
        const auto raw = in.bytes(in.byte() % 64);
        body.AddValue(key, HX_CNT_BINARY_VT, raw.data(), raw.size());
        break;
      }
    }
  }
  return body;
}

bool OneOf(const std::string& method, const char* const* names, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (method == names[i]) return true;
  }
  return false;
}

void ReadAll(HX_ConfManager& cm) {
  for (const char* sid : {"grp@brk", "call@brk"}) {
    ConferenceLock lock;
    if (!cm.getConferenceLock(lock, sid)) std::abort();
    volatile size_t touch = lock->getSID().size() + lock->peers().size();
    for (const char* peer : kPeers) {
      touch = touch + lock->isControlMe(peer) + lock->isUnderMyControl(peer) +
              lock->isIncomingControlRequestPending(peer) +
              lock->isOutgoingControlRequestPending(peer);
    }
    (void)touch;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  hx::fuzz::FuzzEnvironment& env = Env();
  const uint8_t head = data[0];
  env.session->m_queueAnswer = (head & 2) == 0;
  auto cm = std::make_shared<HX_ConfManager>("CONFERENCE", env.session, env.fsm.get());
  auto ctrl = std::make_shared<CountingCtrl>();
  {
    ConferenceLock lock;
    cm->storageCreateForeignConferenceLock(lock, "grp@brk", "g", "", "bob@fuzz.example", 16, 0, 5,
                                           0, 0, nullptr, false);
    for (const char* peer : kPeers) lock->addPeer(peer, 6);
    lock->setState(lock, conference::kStateJoined);
    lock->setVideoSourceType((head >> 2) & 7);
    lock->setConfCtrlInterface(ctrl);
    if ((head & 0x20) != 0) {
      lock->ManageInReqvs(kPeers[0], true, false);
      lock->ManageOutReqvs(kPeers[1], true, false);
      lock->ManageIncomingControls(kPeers[1], true, false);
      lock->ManageOutgoingControls(kPeers[0], true, false);
    }
  }
  {
    ConferenceLock lock;
    cm->storageCreateForeignConferenceLock(lock, "call@brk", "", "", "bob@fuzz.example", 2, 30, 0,
                                           0, 0, nullptr, false);
    lock->addPeer(kPeers[0], 4);
  }
  auto ds = std::make_unique<HX_DesktopRemoteControlManager>(env.session, env.fsm.get(), cm);

  HX_Container body;
  if ((head & 1) != 0) {
    if (!body.Deserialize(data + 1, size - 1)) body.Clear();
  } else {
    Reader in(data + 1, size - 1);
    body = Build(in);
  }
  // The method as both readers see it: a zero-terminated text entry, or none.
  const char* text = hx::conference_service::Str(body, "Method");
  const std::string method = text != nullptr ? text : "";

  HX_Container forDs = body;
  if (ds->ParseIncomimgMessage(forDs) && !OneOf(method, kDsMethods, Count(kDsMethods))) {
    std::abort();
  }
  ReadAll(*cm);
  bool handled = false;
  {
    ConferenceLock lock;
    if (!cm->getConferenceLock(lock, "grp@brk")) std::abort();
    handled = lock->parseConfCtrlMethods(body);
  }
  const bool ctrlMethod = text != nullptr && OneOf(method, kCtrlMethods, Count(kCtrlMethods));
  if (handled != ctrlMethod || ctrl->calls != (handled ? 1 : 0)) std::abort();
  ReadAll(*cm);

  ds.reset();
  cm->stopJobs();
  cm.reset();
  return 0;
}
