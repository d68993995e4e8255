#pragma once
// The bridge's camera side over the camera stand-in (platform/camera).
//
// HXVideoCapture is the capture slot of the platform camera: the core's slot plus PutImage, which
// hands one camera picture to OnPutFrame as the bridge always does (pixel format 0, no rotation,
// capture kind 0). The platform delivers one frame at a time: a picture that arrives while the
// previous one is still inside the slot (another thread calling) is dropped, not queued.
//
// HXCameraBridge is the least of the bridge that the video send path needs: the meeting-tools hook
// that creates the slot and connects its level signal to OnUpdateVideoParams, which records the
// wish and switches the camera to the capture mode of that index; and, at every conference start,
// the bridge's capture modes (288x352, 360x480, 480x640, 720x1280, width first, 30 frames per
// second, pixel format 0) handed to the slot's UpdateCaptureCaps.
//
// Threads: PutImage from the camera's thread; OnUpdateVideoParams on the thread that emits the
// slot's level signal (the capture thread); the rest from the host's thread. The recorded calls
// are kept under a lock.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "core/media/video/video_capture_slot.h"
#include "platform/camera/camera_stand_in.h"

class HXVideoCapture : public HX_VideoCaptureSlotBase {
 public:
  void PutImage(unsigned char* data, int size, int width, int height, long long timeMs,
                int frameRateX100);
  uint64_t DroppedImages() const { return dropped_.load(); }

 private:
  std::mutex put_;
  std::atomic<uint64_t> dropped_{0};
};

class HXCameraBridge {
 public:
  struct VideoParams {
    int modeIndex;
    int width;
    int height;
  };

  // `camera` is not owned and must outlive the bridge; it may be null (nothing is switched).
  explicit HXCameraBridge(hx::platform::CameraStandIn* camera);
  ~HXCameraBridge();
  HXCameraBridge(const HXCameraBridge&) = delete;
  HXCameraBridge& operator=(const HXCameraBridge&) = delete;

  // Creates the slot (once; later calls return the same), connects its level signal and feeds it
  // the camera's pictures.
  std::shared_ptr<HXVideoCapture> _CreateCapture();
  std::shared_ptr<HXVideoCapture> VideoCapture() const { return capture_; }
  // Hands the bridge's capture modes to the slot; the mode index that comes back is not used.
  void OnConferenceStart();
  // Records the wish and switches the camera to the mode of that index (an index outside the
  // bridge's modes switches nothing).
  void OnUpdateVideoParams(int modeIndex, int width, int height);
  std::vector<VideoParams> RecordedVideoParams() const;

  // The capability record the bridge builds at every conference start.
  static HX_VideoCaptureCaps BridgeCaptureCaps();

 private:
  void OnLevel(unsigned modeIndex, unsigned width, unsigned height);

  hx::platform::CameraStandIn* camera_;
  std::shared_ptr<HXVideoCapture> capture_;
  HX_VideoCaptureCaps caps_;
  mutable std::mutex mutex_;
  std::vector<VideoParams> recorded_;
};
