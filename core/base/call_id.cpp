#include "core/base/call_id.h"

void HX_RemoveTranscoderID(std::string& call_id) {
  const size_t slash = call_id.find('/');
  if (slash != std::string::npos) call_id.erase(slash);
}
