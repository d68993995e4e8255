#pragma once
// hx::chat::Message: one chat message as the client object composes it to send a file: whom it
// goes to (a peer or a group chat), its id and its attributes. MessageWrapper and
// FileMessageWrapper add the attributes of a file message. So far this is the least the client
// object needs: the chat subsystem gives messages their full content and wire form.
//
// Thread safety: a message is a plain value owned by one thread at a time.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/base/container.h"

namespace hx::chat {

class Message {
 public:
  Message(int64_t id, std::string to, bool group) : m_id(id), m_to(std::move(to)), m_group(group) {}
  int64_t getId() const { return m_id; }
  const std::string& to() const { return m_to; }
  bool isGroup() const { return m_group; }

  // Every attribute added from a container so far, in order.
  HX_Container attributes;
  // The file attributes added so far, as given (the chat subsystem names them on the wire).
  std::vector<std::string> fileAttributes;

 private:
  int64_t m_id;
  std::string m_to;
  bool m_group;
};

class MessageWrapper {
 public:
  // Appends every entry of `container` to the message's attributes.
  static void addAttributes(Message& message, const HX_Container& container);
};

class FileMessageWrapper {
 public:
  // Appends the three file attributes in that order; a null text as "".
  static void addAttributes(Message& message, const char* first, const char* second, const char* third);
};

}  // namespace hx::chat
