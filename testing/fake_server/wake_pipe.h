#pragma once
// Wakes the fake server's poll loop from another thread (an eventfd it polls).

namespace hx::testing {

class WakePipe {
 public:
  WakePipe();
  ~WakePipe();
  WakePipe(const WakePipe&) = delete;
  WakePipe& operator=(const WakePipe&) = delete;

  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  // Thread-safe.
  void Wake();
  // Called by the poll loop once the descriptor is readable.
  void Drain();

 private:
  int fd_;
};

}  // namespace hx::testing
