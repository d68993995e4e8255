#pragma once
// Test support for the certificate tests: one PKI per test program, made with the openssl tool
// in a temporary folder on first use and removed at exit, with a root and an intermediate under
// it; each test file adds the leaves it needs.

#include <chrono>
#include <memory>
#include <string>

#include "testing/test_pki.h"
#include "testing/test_support.h"

namespace hx::security_testing {

// The folder, the generator and the two certificate authorities every test PKI starts with.
// A test file derives its PKI from it with the further certificates as members.
struct TestPkiBase {
  hx::testing::TempDir dir;
  std::unique_ptr<hx::testing::TestPki> pki;
  hx::testing::TestCert root, intermediate;
};

// Validity of a leaf that expired a day ago.
inline hx::testing::TestCertOptions ExpiredValidity() {
  hx::testing::TestCertOptions options;
  options.not_before = std::chrono::hours(-48);
  options.not_after = std::chrono::hours(-24);
  return options;
}

// Validity of a leaf that becomes valid tomorrow.
inline hx::testing::TestCertOptions NotYetValidValidity() {
  hx::testing::TestCertOptions options;
  options.not_before = std::chrono::hours(24);
  options.not_after = std::chrono::hours(48);
  return options;
}

// The PKI of type `Pki` (derived from TestPkiBase), shared by every test of the process: made
// on the first call, where `addLeaves(pki)` makes the further certificates after "Test Root"
// and "Test Intermediate"; null when the openssl tool is missing. Not thread-safe on the first
// call beyond what a function-local static gives.
template <typename Pki, typename AddLeaves>
Pki* SharedTestPki(const AddLeaves& addLeaves) {
  static std::unique_ptr<Pki> shared = [&] {
    const std::string openssl = hx::testing::FindTool("openssl");
    if (openssl.empty()) return std::unique_ptr<Pki>();
    auto made = std::make_unique<Pki>();
    made->pki = std::make_unique<hx::testing::TestPki>(openssl, made->dir.path());
    made->root = made->pki->MakeRoot("Test Root");
    made->intermediate = made->pki->MakeIntermediate(made->root, "Test Intermediate");
    addLeaves(*made);
    return made;
  }();
  return shared.get();
}

}  // namespace hx::security_testing
