// The dispatch of received messages: transport control messages are the transport's own, every
// other message goes to the service manager registered under its destination service.

#include "core/base/container.h"
#include "core/base/ios_log.h"
#include "core/client/abstract_manager.h"
#include "core/transport/transport.h"
#include "core/wire/transport_message.h"

namespace {

// Messages of this body length or more are logged in full.
constexpr uint32_t kLoggedBodyLength = 0x60000;

// The names of a message that lies in a receive buffer, read in place.
class NamesInPlace {
 public:
  explicit NamesInPlace(const HX_FixedPartMessage* message) : m_message(message) {}
  const char* Get(int index) const {
    const char* name = m_reader.GetName(index, m_message);
    return name != nullptr ? name : "";
  }
  const char* AddString() const { return Get(3); }
  const char* SrcService() const { return Get(2); }
  const char* DstService() const { return Get(5); }
  const char* SrcUser() const { return Get(6); }
  const char* DstUser() const { return Get(7); }

 private:
  const HX_TransportMessage m_reader;
  const HX_FixedPartMessage* m_message;
};

}  // namespace

bool HXZTransport::ProcessTransportPacket(const HX_FixedPartMessage* message) {
  const NamesInPlace names(message);
  if (names.AddString()[0] == static_cast<char>(hx::transport::managing::disconnect)) {
    OnTransportDisconnect();
  }
  return true;
}

bool HXZTransport::ProcessClientPacket(const HX_FixedPartMessage* message) {
  HX_Container body;
  if (!body.Deserialize(message->Bytes() + message->HeaderLength(), message->BodyLength())) {
    return false;
  }
  const NamesInPlace names(message);
  const int body_length_field = static_cast<int>(message->BodyLengthField());
  if (message->BodyLengthField() >= kLoggedBodyLength) {
    ios_log("PACKET: sz=%d, dSrv=%s, dUsr=%s, sSrv=%s, sUsr=%s", body_length_field,
            names.DstService(), names.DstUser(), names.SrcService(), names.SrcUser());
    PrintContainer(body);
  }
  // Looked up and called under the table's lock: the manager cannot be destroyed meanwhile.
  bool found = false;
  const bool handled = HX_AbstractManager::Dispatch(names.DstService(), body, &found);
  if (!found) {
    PrintContainer(body);
    return false;
  }
  if (!handled) {
    ios_log("Bad/Unknown incoming message sz=%d, dSrv=%s, dUsr=%s, sSrv=%s, sUsr=%s",
            body_length_field, names.DstService(), names.DstUser(), names.SrcService(),
            names.SrcUser());
    PrintContainer(body);
  }
  return true;
}

void HXZTransport::OnTransportDisconnect() {
  _disconnectServer();
  emitServerUnavailable(kReasonServerDisconnect);
}
