#include "core/chat/chat_message.h"

namespace hx::chat {

void MessageWrapper::addAttributes(Message& message, const HX_Container& container) {
  container.AttachToCnt(message.attributes);
}

void FileMessageWrapper::addAttributes(Message& message, const char* first, const char* second, const char* third) {
  for (const char* text : {first, second, third}) message.fileAttributes.emplace_back(text != nullptr ? text : "");
}

}  // namespace hx::chat
