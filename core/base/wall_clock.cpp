#include "core/base/wall_clock.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <utility>

namespace hx {

namespace {

// The installed source sits behind a shared pointer, so a reader calls it outside the mutex and a
// replacement while it runs does not destroy it under the reader.
std::mutex& SourceMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<const WallClockSource>& InstalledSource() {
  static std::shared_ptr<const WallClockSource> source;
  return source;
}

}  // namespace

int64_t SystemWallClockSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

int64_t WallClockSeconds() {
  std::shared_ptr<const WallClockSource> source;
  {
    std::lock_guard<std::mutex> hold(SourceMutex());
    source = InstalledSource();
  }
  return source ? (*source)() : SystemWallClockSeconds();
}

WallClockSource SetWallClockSource(WallClockSource source) {
  std::shared_ptr<const WallClockSource> installed =
      source ? std::make_shared<const WallClockSource>(std::move(source)) : nullptr;
  std::shared_ptr<const WallClockSource> previous;
  {
    std::lock_guard<std::mutex> hold(SourceMutex());
    previous = std::exchange(InstalledSource(), std::move(installed));
  }
  return previous ? *previous : WallClockSource();
}

WallClockOverride::WallClockOverride(WallClockSource source)
    : m_previous(SetWallClockSource(std::move(source))) {}

WallClockOverride::~WallClockOverride() { SetWallClockSource(std::move(m_previous)); }

void ManualWallClock::Set(int64_t seconds) { m_seconds.store(seconds); }

void ManualWallClock::Advance(int64_t seconds) { m_seconds.fetch_add(seconds); }

int64_t ManualWallClock::Now() const { return m_seconds.load(); }

WallClockSource ManualWallClock::Source() const {
  return [this] { return Now(); };
}

}  // namespace hx
