#include "core/chat/chat_engines.h"

void HX_FileTransfer::Init(const std::string&, const std::vector<std::string>& trackers) {
  m_strings = trackers;
  m_initialised = true;
}

void HX_FileTransfer::Shutdown() {
  m_strings.clear();
  m_initialised = false;
}
