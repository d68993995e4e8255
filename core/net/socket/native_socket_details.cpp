#include "core/net/socket/native_socket_details.h"

#include "core/net/socket/socket_data_handler.h"

HXZNativeSocketDetails::HXZNativeSocketDetails(int handle, bool local_only) {
  UpdateSocketDetails(handle, local_only);
}

HXZNativeSocketDetails::HXZNativeSocketDetails(const HXZADataHandler& handler, bool local_only) {
  UpdateSocketDetails(handler.GetHandle(), local_only);
}

bool HXZNativeSocketDetails::UpdateSocketDetails(int handle, bool local_only) {
  // A failed read must not leave the address of an earlier socket behind.
  m_local.clear();
  m_remote.clear();
  bool result = m_local.setFromLiveLocal(handle);
  if (!local_only) result = m_remote.setFromLiveRemote(handle);
  return result;
}
