# zel_add_gtest(<name> SOURCES ... [LIBS ...] [THREADED])
# A GoogleTest executable registered with CTest. THREADED tests also run in the
# ThreadSanitizer build (ZEL_SANITIZE=thread), which builds nothing else.
if(ZEL_BUILD_TESTS)
  enable_testing()
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()

function(zel_add_gtest name)
  cmake_parse_arguments(ARG "THREADED" "" "SOURCES;LIBS" ${ARGN})
  if(NOT ZEL_BUILD_TESTS)
    return()
  endif()
  if(ZEL_SANITIZE STREQUAL "thread" AND NOT ARG_THREADED)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  set_target_properties(${name} PROPERTIES EXCLUDE_FROM_ALL OFF)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  set(label unit)
  if(ARG_THREADED)
    set(label threaded)
  endif()
  gtest_discover_tests(${name}
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    PROPERTIES LABELS ${label}
    DISCOVERY_TIMEOUT 60)
endfunction()

