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
