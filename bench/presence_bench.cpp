// A complete status list of 5000 users, all of them contacts, taken in by the presence manager as
// the loop thread does: the body deserialised from its wire form, then ParseIncomimgMessage, which
// sets every contact offline, empties the status map and stores each listed status in the status
// and contact stores (and reports it). The baseline deserialises the same wire form and walks it
// into a plain ordered map of id to status, timed in the same iterations in thread CPU time;
// "times" is the manager's time over the baseline's (the stores' lookups ignoring letter case,
// their locks and the signal are the difference).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "core/base/container.h"
#include "core/client/fsm_shared.h"
#include "core/contacts/presence/presence_manager.h"

namespace {

constexpr int kUsers = 5000;

double ThreadSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::string Id(int i) { return (i % 3 == 0 ? "User" : "user") + std::to_string(i) + "@Example.ORG"; }

std::vector<uint8_t> WireList() {
  HX_Container body;
  body.AddValue("Method", "UpdateStatus");
  body.AddValue("SeqID", 1);
  body.AddValue("Cause", 1);
  for (int i = 0; i < kUsers; ++i) {
    body.AddValue("CallId", Id(i).c_str());
    body.AddValue("UserPresStatus", i % 6);
  }
  std::vector<uint8_t> wire(body.GetAllocSize());
  size_t size = wire.size();
  if (!body.Serialize(wire.data(), size)) std::abort();
  wire.resize(size);
  return wire;
}

void BM_CompleteStatusListVsPlainMap(benchmark::State& state) {
  char pattern[] = "/tmp/hx_presence_bench_XXXXXX";
  if (mkdtemp(pattern) == nullptr) std::abort();
  HXFSMShared::Env()->SetWorkingDir(pattern);
  {
    HXFSMShared fsm;
    for (int i = 0; i < kUsers; ++i) fsm.PushContact(nullptr, Id(i).c_str(), nullptr, USER_LOGOFF, 0);
    HX_PresenceManager presence(nullptr, &fsm);
    const std::vector<uint8_t> wire = WireList();
    double managerSeconds = 0, plainSeconds = 0;
    for (auto _ : state) {
      double start = ThreadSeconds();
      HX_Container message;
      if (!message.Deserialize(wire.data(), wire.size())) std::abort();
      presence.ParseIncomimgMessage(message);
      managerSeconds += ThreadSeconds() - start;

      start = ThreadSeconds();
      HX_Container plainMessage;
      if (!plainMessage.Deserialize(wire.data(), wire.size())) std::abort();
      std::map<std::string, int32_t> plain;
      std::string user;
      plainMessage.Reset();
      while (plainMessage.Next()) {
        const std::string name = plainMessage.GetName();
        int32_t status = 0;
        if (name == "CallId") {
          plainMessage.GetValue(user);
        } else if (name == "UserPresStatus" && plainMessage.GetValue(status)) {
          plain[user] = status;
        }
      }
      plainSeconds += ThreadSeconds() - start;
      benchmark::DoNotOptimize(plain.size());
    }
    bool right = fsm.StatusCount() == static_cast<size_t>(kUsers);
    for (int i = 0; i < kUsers; i += 97) right = right && fsm.SearchContact(Id(i).c_str())->status == i % 6;
    if (!right) state.SkipWithError("the stores lost or mixed statuses");
    const double n = static_cast<double>(state.iterations());
    state.counters["manager_ms"] = managerSeconds / n * 1e3;
    state.counters["plain_map_ms"] = plainSeconds / n * 1e3;
    state.counters["times"] = managerSeconds / plainSeconds;
  }
  std::error_code ec;
  std::filesystem::remove_all(pattern, ec);
}
BENCHMARK(BM_CompleteStatusListVsPlainMap)->Unit(benchmark::kMillisecond);

}  // namespace
