# Every library the core calls comes from the system (Debian packages, see scripts/setup).
find_package(Threads REQUIRED)
find_package(OpenSSL 3.0 REQUIRED)
find_package(ZLIB REQUIRED)
find_package(SQLite3 REQUIRED)
find_package(Boost 1.74 REQUIRED COMPONENTS system filesystem thread chrono)

# These ship no CMake or pkg-config file that suits an exported target: take the library path.
find_library(HX_CPPDB_LIBRARY NAMES cppdb REQUIRED)
find_path(HX_CPPDB_INCLUDE_DIR NAMES cppdb/frontend.h REQUIRED)
find_library(HX_ZMQ_LIBRARY NAMES zmq REQUIRED)
find_path(HX_ZMQ_INCLUDE_DIR NAMES zmq.h REQUIRED)
find_library(HX_IDN_LIBRARY NAMES idn REQUIRED)
find_path(HX_IDN_INCLUDE_DIR NAMES idna.h REQUIRED)

if(HX_TESTS)
  find_package(GTest REQUIRED)
endif()
if(HX_BENCH)
  find_package(benchmark REQUIRED)
endif()

# Audio codecs: libopus and libspeex; the WebRTC audio pieces (iSAC, G.711, G.722, the resampler)
# come from the static tg_owt archive, whose CMake package drags in far more than we call (X11,
# FFmpeg, glib), so only the archive itself is linked.
find_library(HX_OPUS_LIBRARY NAMES opus REQUIRED)
find_path(HX_OPUS_INCLUDE_DIR NAMES opus/opus.h REQUIRED)
find_library(HX_SPEEX_LIBRARY NAMES speex REQUIRED)
find_path(HX_SPEEX_INCLUDE_DIR NAMES speex/speex.h REQUIRED)
find_library(HX_TGOWT_LIBRARY NAMES libtg_owt.a tg_owt REQUIRED)
find_path(HX_TGOWT_INCLUDE_DIR NAMES common_audio/resampler/include/push_resampler.h
  PATH_SUFFIXES tg_owt REQUIRED)
# The parts of the WebRTC archive we call use a few Abseil helpers (string views, optional).
foreach(absl_lib strings throw_delegate bad_optional_access)
  find_library(HX_ABSL_${absl_lib}_LIBRARY NAMES absl_${absl_lib} REQUIRED)
  list(APPEND HX_ABSL_LIBRARIES ${HX_ABSL_${absl_lib}_LIBRARY})
endforeach()

# VP8: libvpx (encoder with temporal layers and per-frame reference flags, and the decoder).
find_library(HX_VPX_LIBRARY NAMES vpx REQUIRED)
find_path(HX_VPX_INCLUDE_DIR NAMES vpx/vp8cx.h REQUIRED)

# H.26x codecs: FFmpeg's libavcodec (5.x: the send-and-receive API), libavutil, and libswscale for
# decoded pictures in a format other than I420.
find_library(HX_AVCODEC_LIBRARY NAMES avcodec REQUIRED)
find_library(HX_AVUTIL_LIBRARY NAMES avutil REQUIRED)
find_library(HX_SWSCALE_LIBRARY NAMES swscale REQUIRED)
find_path(HX_AVCODEC_INCLUDE_DIR NAMES libavcodec/avcodec.h PATH_SUFFIXES x86_64-linux-gnu REQUIRED)
