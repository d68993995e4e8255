# hx_add_tests_in(<dir>): every *_test.cpp below <dir> becomes one GoogleTest executable,
# registered with CTest under its file name. Tests link the whole core (and the platform stand-ins
# and the SDK layer when they are built) and the test support library.
function(hx_add_tests_in dir)
  file(GLOB_RECURSE tests CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${dir}/*_test.cpp)
  foreach(src IN LISTS tests)
    get_filename_component(name ${src} NAME_WE)
    add_executable(${name} ${src})
    target_link_libraries(${name} PRIVATE hxtesting hxcore GTest::gtest GTest::gtest_main GTest::gmock)
    if(TARGET knplatform)
      target_link_libraries(${name} PRIVATE knplatform)
    endif()
    if(TARGET knsdk)
      target_link_libraries(${name} PRIVATE knsdk)
    endif()
    add_test(NAME ${name} COMMAND ${name})
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
