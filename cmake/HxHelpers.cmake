# hx_add_tests_in(<dir>): every *_test.cpp below <dir> becomes one GoogleTest executable,
# registered with CTest under its file name. A *_netns_test.cpp runs inside a private network
# namespace with a veth pair (testing/netns/run_in_veth_netns.sh; exit 77 is a skip). Tests link
# the whole core (and the platform stand-ins
# and the SDK layer when they are built) and the test support library.
#
# Test code runs little and compiles a lot: in the Debug build it is compiled without optimisation
# (the library keeps the build's level, the sanitizers stay on), and GoogleTest, GoogleMock and
# the common standard headers are precompiled once and shared by every test.
function(hx_link_test_libraries target)
  target_link_libraries(${target} PRIVATE hxtesting hxcore GTest::gtest GTest::gmock)
  if(TARGET knplatform)
    target_link_libraries(${target} PRIVATE knplatform)
  endif()
  if(TARGET knsdk)
    target_link_libraries(${target} PRIVATE knsdk)
  endif()
  target_compile_options(${target} PRIVATE $<$<CONFIG:Debug>:-O0>)
endfunction()

function(hx_add_test_pch)
  if(TARGET hx_test_pch)
    return()
  endif()
  # An executable like the tests, so that the header is compiled with their settings (-fPIE).
  add_executable(hx_test_pch ${PROJECT_SOURCE_DIR}/cmake/test_pch.cpp)
  hx_link_test_libraries(hx_test_pch)
  target_precompile_headers(hx_test_pch PRIVATE
    <gtest/gtest.h> <gmock/gmock.h> <algorithm> <atomic> <chrono> <condition_variable> <cstdint>
    <cstring> <functional> <map> <memory> <mutex> <set> <string> <thread> <vector>)
endfunction()

function(hx_add_tests_in dir)
  hx_add_test_pch()
  file(GLOB_RECURSE tests CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${dir}/*_test.cpp)
  foreach(src IN LISTS tests)
    get_filename_component(name ${src} NAME_WE)
    add_executable(${name} ${src})
    hx_link_test_libraries(${name})
    target_link_libraries(${name} PRIVATE GTest::gtest_main)
    target_precompile_headers(${name} REUSE_FROM hx_test_pch)
    if(name MATCHES "_netns_test$")
      add_test(NAME ${name}
        COMMAND bash ${PROJECT_SOURCE_DIR}/testing/netns/run_in_veth_netns.sh $<TARGET_FILE:${name}>)
      set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE 77)
    else()
      add_test(NAME ${name} COMMAND ${name})
    endif()
    set_tests_properties(${name} PROPERTIES
      ENVIRONMENT "HX_SOURCE_DIR=${PROJECT_SOURCE_DIR};HX_BINARY_DIR=${PROJECT_BINARY_DIR}"
      TIMEOUT 600)
  endforeach()
endfunction()

# hx_sources_in(<out> <dir>): the library sources of a folder tree, without tests, fuzzers or benchmarks.
function(hx_sources_in out dir)
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
  list(FILTER srcs EXCLUDE REGEX "_(test|fuzz|bench)\\.cpp$")
  set(${out} ${srcs} PARENT_SCOPE)
endfunction()
