// Applies arbitrary bytes, read as a received extended-status container (or built from them), to a
// user of the status store that already holds values. Afterwards no name is stored under "Cause" or
// "DelExtSt", every name a string "DelExtSt" gives is gone, and every other named entry's name is
// present.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "core/base/container.h"
#include "core/contacts/stores/status_storage.h"
#include "core/wire/name_hash.h"

namespace {

struct Statuses : HX_StatusStorage {};

// Inputs that are no wire form build a container from a few names, so that "Cause" and "DelExtSt"
// entries of every type come up often: per entry a name byte, a type byte and a value byte.
HX_Container Built(const uint8_t* data, size_t size) {
  static const char* const kNames[] = {"Cause", "DelExtSt", "A", "B", "", "cause"};
  static const char* const kTexts[] = {"A", "B", "", "Cause", "DelExtSt"};
  HX_Container c;
  for (size_t i = 0; i + 3 <= size; i += 3) {
    const char* name = kNames[data[i] % 6];
    const uint8_t v = data[i + 2];
    switch (data[i + 1] % 6) {
      case 0:
        c.AddValue(name, v % 2 == 1);
        break;
      case 1:
        c.AddValue(name, static_cast<int32_t>(v % 3));
        break;
      case 2:
        c.AddValue(name, static_cast<double>(v));
        break;
      case 3:
        c.AddValue(name, kTexts[v % 5]);
        break;
      case 4:
        c.AddValue(name, HX_CNT_BINARY_VT, kTexts[v % 5], v % 2);
        break;
      default:
        c.AddValue(name, static_cast<int64_t>(v));
        break;
    }
  }
  return c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  HX_Container received;
  if (!received.Deserialize(data, size)) received = Built(data, size);
  Statuses store;
  HX_Container seed;
  seed.AddValue("A", 1);
  seed.AddValue("B", "b");
  seed.AddValue("Cause", 0);
  store.ParseExtStatus("user", &seed);
  store.ParseExtStatus("USER", &received);

  std::set<std::string> removed;
  std::set<std::string> set;
  received.Reset();
  while (received.Next()) {
    const std::string name = received.GetName() ? received.GetName() : "";
    if (name == "DelExtSt" && received.GetType() == HX_CNT_STRING_VT) {
      removed.insert(received.GetStrValue());
    } else if (!name.empty() && hx::NameHash(name.c_str()) != hx::NameHash("Cause") &&
               hx::NameHash(name.c_str()) != hx::NameHash("DelExtSt")) {
      set.insert(name);
    }
  }
  HX_StatusStorage::ExtStatusMap map;
  if (!store.GetExtStatusMap("user", map)) std::abort();  // the seed created the entry
  if (map.count("Cause") || map.count("DelExtSt")) std::abort();
  for (const std::string& name : removed) {
    if (map.count(name)) std::abort();
  }
  for (const std::string& name : set) {
    if (!removed.count(name) && !map.count(name)) std::abort();
  }
  for (const auto& [name, value] : map) {
    std::string text;
    store.GetExtStatus("user", name.c_str(), text);
    void* bytes = nullptr;
    size_t length = 0;
    store.GetExtStatus("user", name.c_str(), bytes, length);
    std::free(bytes);
  }
  return 0;
}
