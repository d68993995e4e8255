// Hands server-sent bytes to the session data as its server and user property sets. Whatever the
// bytes, the sets must stay readable: every property named in them reads back as text, and the
// password rule follows "authentication_method". The first two bytes (little-endian) give the
// length of the server set's bytes, clamped to what follows; the rest is the user set.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "core/base/container.h"
#include "core/transport/session.h"

namespace {

// Only the session data is under test; the operations of a connection are never called.
class Session : public HX_TransportSessionData {};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Session session;
  if (size < 2) return 0;
  const size_t announced = data[0] | (static_cast<size_t>(data[1]) << 8);
  data += 2;
  size -= 2;
  const size_t half = announced < size ? announced : size;
  // A heap copy of exactly each part, so that any read past it is seen.
  std::unique_ptr<uint8_t[]> server(new uint8_t[half + 1]);
  std::unique_ptr<uint8_t[]> user(new uint8_t[size - half + 1]);
  std::memcpy(server.get(), data, half);
  std::memcpy(user.get(), data + half, size - half);
  const bool server_ok = session.SetServerPropertyContainer(server.get(), half);
  session.SetUserPropertyContainer(user.get(), size - half);
  (void)server_ok;

  HX_Container properties;
  if (properties.Deserialize(data, half)) {
    properties.Reset();
    while (properties.Next()) {
      const char* name = properties.GetName();
      if (name == nullptr) std::abort();
      (void)session.getProperty(name);
    }
  }
  const std::string method = session.getProperty("authentication_method");
  if (session.isEncryptPassword() != (method.empty() || method[0] != '1')) std::abort();
  session.ClearServerPropertyContainer();
  session.ClearUserPropertyContainer();
  if (!session.isEncryptPassword()) std::abort();
  return 0;
}
