// Feeds arbitrary bytes to HX_Container::Deserialize. A refused input must leave the old content;
// an accepted one must be readable entry by entry and survive a second trip through the wire form.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "core/base/container.h"
#include "core/base/variant.h"

namespace {

std::vector<uint8_t> Wire(const HX_Container& c) {
  std::vector<uint8_t> out(c.GetAllocSize());
  size_t size = out.size();
  if (!c.Serialize(out.data(), size)) std::abort();
  out.resize(size);
  return out;
}

// Touches every value the way a service reading a message would.
void ReadEverything(const HX_Container& c) {
  std::ostringstream printed;
  printed << c;
  c.Reset();
  while (c.Next()) {
    const HX_Variant value(&c);
    std::string text;
    if (c.GetValue(text) && text.size() > c.GetStrValueView().size()) std::abort();
    HX_Container nested;
    c.GetValue(nested);
    size_t size = 0;
    c.GetValueRef(c.GetName(), static_cast<ContainerVT>(c.GetType()), size);
  }
  HX_Container copy;
  c.AttachToCnt(copy);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  HX_Container c;
  c.AddValue("Kept", "previous content");
  const std::vector<uint8_t> before = Wire(c);
  if (!c.Deserialize(data, size)) {
    if (Wire(c) != before) std::abort();
    return 0;
  }
  ReadEverything(c);
  const std::vector<uint8_t> again = Wire(c);
  HX_Container back;
  if (!back.Deserialize(again.data(), again.size()) || Wire(back) != again) std::abort();
  return 0;
}
