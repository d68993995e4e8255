#pragma once
// Runs a test body once per form of the picture loops that the processor supports.

#include <gtest/gtest.h>

#include <vector>

#include "core/media/video/simd_path.h"

namespace hx::video {

inline std::vector<SimdPath> SupportedPaths() {
  std::vector<SimdPath> paths;
  for (int p = 0; p <= static_cast<int>(BestSimdPath()); ++p) paths.push_back(SimdPath(p));
  return paths;
}

// Parameterised fixture: the active form is the parameter for the test's duration.
class EachSimdPath : public ::testing::TestWithParam<SimdPath> {
 protected:
  void SetUp() override { ASSERT_TRUE(SetSimdPath(GetParam())); }
  void TearDown() override { SetSimdPath(BestSimdPath()); }
};

inline std::string PathName(const ::testing::TestParamInfo<SimdPath>& info) {
  return SimdPathName(info.param);
}

}  // namespace hx::video

#define HX_INSTANTIATE_EACH_SIMD_PATH(Fixture)                                               \
  INSTANTIATE_TEST_SUITE_P(Paths, Fixture, ::testing::ValuesIn(hx::video::SupportedPaths()), \
                           hx::video::PathName)
