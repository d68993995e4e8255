#pragma once
// Named system values, as the core queries them ("hw.physicalcpu", ...),
// answered on Linux from sysfs. Thread-safe: each call reads the files anew.

#include <string>

namespace hx::sysinfo {

// "hw.physicalcpu": the number of physical processor cores, that is the
// distinct (package, core) pairs of the processors listed under `cpuRoot`
// (cpu<N>/topology/physical_package_id and core_id), so that hardware threads
// of one core count once. 1 when no processor's pair can be read. `cpuRoot` is
// for tests; the system's is /sys/devices/system/cpu.
int PhysicalCpu(const std::string& cpuRoot = "/sys/devices/system/cpu");

}  // namespace hx::sysinfo
