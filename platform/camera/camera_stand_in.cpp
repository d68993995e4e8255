#include "platform/camera/camera_stand_in.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace hx::platform {

namespace {

bool ValidSize(int w, int h) {
  return w >= 2 && h >= 2 && w <= 8192 && h <= 8192 && w % 2 == 0 && h % 2 == 0;
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

CameraStandIn::CameraStandIn() = default;

CameraStandIn::~CameraStandIn() { Stop(); }

void CameraStandIn::SetCallback(FrameCallback callback) {
  std::lock_guard<std::mutex> hold(mutex_);
  callback_ = std::move(callback);
}

bool CameraStandIn::SetMode(const Mode& mode) {
  if (!ValidSize(mode.width, mode.height) || mode.fps100 < 100 || mode.fps100 > 12000) {
    return false;
  }
  std::lock_guard<std::mutex> hold(mutex_);
  mode_ = mode;
  return true;
}

CameraStandIn::Mode CameraStandIn::GetMode() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return mode_;
}

void CameraStandIn::UsePattern() {
  std::lock_guard<std::mutex> hold(mutex_);
  use_file_ = false;
  file_.clear();
}

bool CameraStandIn::UseFile(const std::string& path, int width, int height) {
  if (!ValidSize(width, height)) return false;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  std::vector<uint8_t> bytes;
  uint8_t chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
    bytes.insert(bytes.end(), chunk, chunk + n);
  std::fclose(f);
  const size_t picture = static_cast<size_t>(width) * height * 3 / 2;
  if (bytes.size() < picture) return false;
  bytes.resize(bytes.size() / picture * picture);
  std::lock_guard<std::mutex> hold(mutex_);
  file_ = std::move(bytes);
  file_width_ = width;
  file_height_ = height;
  use_file_ = true;
  return true;
}

bool CameraStandIn::Start() {
  std::lock_guard<std::mutex> hold(mutex_);
  if (thread_.joinable()) return false;
  stop_ = false;
  running_ = true;
  thread_ = std::thread([this] { Loop(); });
  return true;
}

void CameraStandIn::Stop() {
  std::thread thread;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stop_ = true;
    if (thread_.joinable() && thread_.get_id() == std::this_thread::get_id()) {
      // From inside the callback: the loop ends after it returns; the owner joins later.
      wake_.notify_all();
      return;
    }
    thread = std::move(thread_);
  }
  wake_.notify_all();
  if (thread.joinable()) thread.join();
  running_ = false;
}

void CameraStandIn::Loop() {
  std::vector<uint8_t> picture;
  uint64_t index = 0;
  auto next = std::chrono::steady_clock::now();
  std::unique_lock<std::mutex> hold(mutex_);
  while (!stop_) {
    const Mode mode = mode_;
    int w = mode.width;
    int h = mode.height;
    const uint8_t* data;
    if (use_file_) {
      w = file_width_;
      h = file_height_;
      const size_t bytes = static_cast<size_t>(w) * h * 3 / 2;
      const size_t count = file_.size() / bytes;
      data = file_.data() + (index % count) * bytes;
      picture.assign(data, data + bytes);
    } else {
      picture.resize(static_cast<size_t>(w) * h * 3 / 2);
      MovingPattern(index, w, h, picture.data());
    }
    FrameCallback callback = callback_;
    hold.unlock();
    if (callback) {
      callback(picture.data(), static_cast<int>(picture.size()), w, h, NowMs(), mode.fps100);
    }
    ++delivered_;
    ++index;
    next += std::chrono::microseconds(100000000LL / mode.fps100);
    hold.lock();
    wake_.wait_until(hold, next, [this] { return stop_; });
  }
  running_ = false;
}

void CameraStandIn::MovingPattern(uint64_t index, int width, int height, uint8_t* out) {
  const int shift = static_cast<int>(index % 1024);
  for (int y = 0; y < height; ++y) {
    uint8_t* row = out + static_cast<size_t>(y) * width;
    for (int x = 0; x < width; ++x) {
      // A triangle wave of period 400 along the diagonal: smooth, with no edge of its own.
      const int phase = (x + y + 2 * shift) % 400;
      row[x] = static_cast<uint8_t>(16 + (phase < 200 ? phase : 399 - phase));
    }
  }
  // A bright square crossing the picture.
  const int side = std::max(2, height / 6);
  const int sx = static_cast<int>((index * 4) % static_cast<uint64_t>(std::max(1, width - side)));
  const int sy = height / 3;
  for (int y = sy; y < sy + side && y < height; ++y) {
    for (int x = sx; x < sx + side && x < width; ++x) out[static_cast<size_t>(y) * width + x] = 235;
  }
  uint8_t* u = out + static_cast<size_t>(width) * height;
  uint8_t* v = u + static_cast<size_t>(width / 2) * (height / 2);
  for (int y = 0; y < height / 2; ++y) {
    for (int x = 0; x < width / 2; ++x) {
      u[static_cast<size_t>(y) * (width / 2) + x] =
          static_cast<uint8_t>(128 + (x + shift) % 32 - 16);
      v[static_cast<size_t>(y) * (width / 2) + x] =
          static_cast<uint8_t>(128 + (y + shift) % 32 - 16);
    }
  }
}

}  // namespace hx::platform
