#include "core/conference/service/network_rate.h"

#include <array>
#include <mutex>

namespace hx::network::rate {
namespace {

std::mutex& TableMutex() {
  static std::mutex mutex;
  return mutex;
}

std::array<std::pair<int32_t, int32_t>, kEntries>& Table() {
  static std::array<std::pair<int32_t, int32_t>, kEntries> table = [] {
    std::array<std::pair<int32_t, int32_t>, kEntries> t{};
    t.fill({kDefaultPeerReceive, kDefaultPeerReceive});
    return t;
  }();
  return table;
}

}  // namespace

std::pair<int32_t, int32_t> get(size_t index) {
  if (index >= kEntries) return {0, 0};
  std::lock_guard<std::mutex> lock(TableMutex());
  return Table()[index];
}

bool set(size_t index, int32_t send, int32_t receive) {
  if (index >= kEntries) return false;
  std::lock_guard<std::mutex> lock(TableMutex());
  Table()[index] = {send, receive};
  return true;
}

bool setReceive(size_t index, int32_t receive) {
  if (index >= kEntries) return false;
  std::lock_guard<std::mutex> lock(TableMutex());
  Table()[index].second = receive;
  return true;
}

}  // namespace hx::network::rate
