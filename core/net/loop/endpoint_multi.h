#pragma once
// An endpoint of several socket addresses tried in turn: binding walks them with next() until
// one binds; next() cycles through the list (first, second, ..., last, first, ...).
//
// Filled by its owner before it is shared; next() and rewind() move a cursor, so one user at a
// time (the loop's thread while it binds).

#include <cstdint>
#include <string>
#include <vector>

#include "core/net/loop/endpoint_holder.h"

class HXZEndpointSockAddrMulti : public HXZAEndpointHolder {
 public:
  // Appends an address; the first one becomes the current address.
  void add(const HXSockAddr& address);

  // The text of the current address ("" when there is none).
  std::string getAddrStr() const override;
  int getCount() const override { return static_cast<int>(m_list.size()); }
  // The current address; empty before the first add and after the last next().
  HXSockAddr getSockAddr() const override;
  bool getSockAddrList(std::vector<HXSockAddr>* list) const override;
  bool isMulti() const override { return true; }
  // The current address (the first after the end of the list), then advances.
  HXSockAddr next() override;
  void rewind() override;

 private:
  static constexpr int32_t kNone = -2;  // nothing added yet
  static constexpr int32_t kPast = -1;  // past the last address

  std::vector<HXSockAddr> m_list;
  int32_t m_index = kNone;
};
