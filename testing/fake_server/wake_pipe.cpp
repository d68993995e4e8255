#include "testing/fake_server/wake_pipe.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace hx::testing {

WakePipe::WakePipe() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

WakePipe::~WakePipe() {
  if (fd_ >= 0) close(fd_);
}

void WakePipe::Wake() {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = write(fd_, &one, sizeof(one));
}

void WakePipe::Drain() {
  uint64_t count = 0;
  [[maybe_unused]] const ssize_t n = read(fd_, &count, sizeof(count));
}

}  // namespace hx::testing
