// "hw.physicalcpu" from processor trees written into a temporary directory
// (hardware threads of one core, several packages, unreadable and malformed
// entries), and from this machine's sysfs.
#include "core/base/system_info.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;

class CpuTree : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("hx_cpu_tree_" + std::to_string(getpid()) + "_" +
                                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  void TearDown() override { fs::remove_all(root_); }

  // Writes cpu<n>/topology/{physical_package_id,core_id}; an empty text leaves
  // that file out.
  void Cpu(const std::string& entry, const std::string& package, const std::string& core) {
    const fs::path topology = root_ / entry / "topology";
    fs::create_directories(topology);
    if (!package.empty()) std::ofstream(topology / "physical_package_id") << package;
    if (!core.empty()) std::ofstream(topology / "core_id") << core;
  }
  int Count() const { return hx::sysinfo::PhysicalCpu(root_.string()); }

  fs::path root_;
};

TEST_F(CpuTree, HardwareThreadsOfOneCoreCountOnce) {
  Cpu("cpu0", "0\n", "0\n");
  Cpu("cpu1", "0\n", "1\n");
  Cpu("cpu2", "0\n", "0\n");  // the second thread of core 0
  Cpu("cpu3", "0\n", "1\n");
  EXPECT_EQ(Count(), 2);
}

TEST_F(CpuTree, CoresOfDifferentPackagesAreDistinct) {
  Cpu("cpu0", "0", "0");
  Cpu("cpu1", "1", "0");
  Cpu("cpu2", "1", "3");
  Cpu("cpu12", "-1", "3");  // a package the system cannot tell
  EXPECT_EQ(Count(), 4);
}

TEST_F(CpuTree, OnlyProcessorEntriesWithBothReadableNumbersCount) {
  Cpu("cpu0", "0\n", "5\n");
  Cpu("cpu1", "", "6");                         // no package file (an offline processor)
  Cpu("cpu2", "0", "");                         // no core file
  Cpu("cpu3", "zero", "7");                     // not a number
  Cpu("cpu4", "0", "8 9");                      // trailing garbage
  Cpu("cpu5", "0", "99999999999999999999999");  // too large
  Cpu("cpufreq", "0", "10");                    // not a processor
  Cpu("cpux", "0", "11");
  Cpu("cpu", "0", "12");
  EXPECT_EQ(Count(), 1);
}

TEST_F(CpuTree, NothingReadableCountsAsOne) {
  EXPECT_EQ(Count(), 1);
  Cpu("cpu0", "", "");
  EXPECT_EQ(Count(), 1);
  EXPECT_EQ(hx::sysinfo::PhysicalCpu((root_ / "missing").string()), 1);
}

TEST(PhysicalCpu, ThisMachineHasAtLeastOneCoreAndNoMoreThanItsThreads) {
  const int cores = hx::sysinfo::PhysicalCpu();
  EXPECT_GE(cores, 1);
  const unsigned threads = std::thread::hardware_concurrency();
  if (threads != 0) EXPECT_LE(static_cast<unsigned>(cores), threads);
  std::printf("hw.physicalcpu here: %d (hardware threads %u)\n", cores, threads);
}

}  // namespace
