#include "sdk/bridge/hx_video_capture.h"

void HXVideoCapture::PutImage(unsigned char* data, int size, int width, int height,
                              long long timeMs, int frameRateX100) {
  std::unique_lock<std::mutex> hold(put_, std::try_to_lock);
  if (!hold.owns_lock()) {
    ++dropped_;
    return;
  }
  if (data == nullptr || size < 0 || frameRateX100 < 0) return;
  HX_CaptureMode mode;
  mode.width = width;
  mode.height = height;
  mode.frameRates.clear();
  OnPutFrame(data, static_cast<unsigned long>(size), static_cast<unsigned long>(frameRateX100),
             static_cast<unsigned long>(timeMs), false, &mode, hx_processing_defs::eRotateNone,
             hx_capture_defs::eCaptureDefault);
}

HXCameraBridge::HXCameraBridge(hx::platform::CameraStandIn* camera)
    : camera_(camera), caps_(BridgeCaptureCaps()) {}

HXCameraBridge::~HXCameraBridge() {
  // The camera's thread must not call into a slot that is going away.
  if (camera_ != nullptr) {
    camera_->Stop();
    camera_->SetCallback(nullptr);
  }
  if (capture_) capture_->LevelSignal.Disconnect(this, &HXCameraBridge::OnLevel);
}

HX_VideoCaptureCaps HXCameraBridge::BridgeCaptureCaps() {
  HX_VideoCaptureCaps caps;
  caps.flags = 1;
  caps.reserved = 0;
  caps.screenCapture = false;
  for (auto [w, h] : {std::pair{288, 352}, {360, 480}, {480, 640}, {720, 1280}}) {
    HX_CaptureMode mode;
    mode.width = w;
    mode.height = h;
    mode.pixelFormat = hx_processing_defs::eI420;
    mode.frameRates = {30.0f};
    caps.modes.push_back(mode);
  }
  return caps;
}

std::shared_ptr<HXVideoCapture> HXCameraBridge::_CreateCapture() {
  if (capture_) return capture_;
  capture_ = std::make_shared<HXVideoCapture>();
  capture_->LevelSignal.Connect(this, &HXCameraBridge::OnLevel);
  if (camera_ != nullptr) {
    HXVideoCapture* slot = capture_.get();
    camera_->SetCallback(
        [slot](const uint8_t* data, int size, int width, int height, int64_t timeMs, int fps100) {
          slot->PutImage(const_cast<unsigned char*>(data),
                         width * height * 3 / 2 <= size ? width * height * 3 / 2 : size, width,
                         height, timeMs, fps100);
        });
  }
  return capture_;
}

void HXCameraBridge::OnConferenceStart() {
  if (!capture_) return;
  int modeIndex = -1;
  capture_->UpdateCaptureCaps(&caps_, modeIndex);
}

void HXCameraBridge::OnLevel(unsigned modeIndex, unsigned width, unsigned height) {
  OnUpdateVideoParams(static_cast<int>(modeIndex), static_cast<int>(width),
                      static_cast<int>(height));
}

void HXCameraBridge::OnUpdateVideoParams(int modeIndex, int width, int height) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    recorded_.push_back({modeIndex, width, height});
  }
  if (camera_ == nullptr || modeIndex < 0 || static_cast<size_t>(modeIndex) >= caps_.modes.size()) {
    return;
  }
  const HX_CaptureMode& mode = caps_.modes[static_cast<size_t>(modeIndex)];
  hx::platform::CameraStandIn::Mode next = camera_->GetMode();
  next.width = mode.width;
  next.height = mode.height;
  camera_->SetMode(next);
}

std::vector<HXCameraBridge::VideoParams> HXCameraBridge::RecordedVideoParams() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return recorded_;
}
