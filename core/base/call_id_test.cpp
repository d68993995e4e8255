#include "core/base/call_id.h"

#include <gtest/gtest.h>

namespace {

TEST(CallId, RemovesTheTranscoderPart) {
  const std::pair<std::string, std::string> cases[] = {
      {"conf1/t2", "conf1"},
      {"conf1", "conf1"},
      {"conf1/t2/x", "conf1"},
      {"/t2", ""},
      {"", ""},
  };
  for (const auto& [in, out] : cases) {
    std::string id = in;
    HX_RemoveTranscoderID(id);
    EXPECT_EQ(id, out) << in;
  }
}

}  // namespace
