# zel_add_gtest(<name> SOURCES ... [LIBS ...] [THREADED | END_TO_END])
# A GoogleTest executable registered with CTest. THREADED tests also run in the
# ThreadSanitizer build (ZEL_SANITIZE=thread), which builds nothing else.
# END_TO_END tests (label "e2e") run whole surveys: they are built only where
# ZEL_END_TO_END_TESTS is on, which the test script sets for its Release tree
# and clears for the sanitizer trees.
option(ZEL_END_TO_END_TESTS "Build the end-to-end tests (*_e2e_test.cpp, label e2e)" ON)
if(ZEL_BUILD_TESTS)
  enable_testing()
  include(GoogleTest)
endif()

function(zel_add_gtest name)
  cmake_parse_arguments(ARG "THREADED;END_TO_END" "" "SOURCES;LIBS" ${ARGN})
  if(NOT ZEL_BUILD_TESTS)
    return()
  endif()
  if(ZEL_SANITIZE STREQUAL "thread" AND NOT ARG_THREADED)
    return()
  endif()
  if(ARG_END_TO_END AND NOT ZEL_END_TO_END_TESTS)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  set_target_properties(${name} PROPERTIES EXCLUDE_FROM_ALL OFF)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  set(label unit)
  if(ARG_THREADED)
    set(label threaded)
  elseif(ARG_END_TO_END)
    set(label e2e)
  endif()
  gtest_discover_tests(${name}
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    PROPERTIES LABELS ${label}
    DISCOVERY_TIMEOUT 60)
endfunction()

# zel_add_benchmark(<name> SOURCES ... [LIBS ...] [PLAIN] [WITH_TESTS])
# A benchmark program, built, never run by CTest: linked with Google Benchmark
# (left out where that library is not installed), or PLAIN, a program that
# times itself. Benchmarks are built only in the trees without a sanitizer;
# WITH_TESTS ones (they link the test helpers) only where the tests are built.
function(zel_add_benchmark name)
  cmake_parse_arguments(ARG "PLAIN;WITH_TESTS" "" "SOURCES;LIBS" ${ARGN})
  if(NOT ZEL_SANITIZE STREQUAL "")
    return()
  endif()
  if(ARG_WITH_TESTS AND NOT ZEL_BUILD_TESTS)
    return()
  endif()
  if(NOT ARG_PLAIN AND NOT benchmark_FOUND)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  if(NOT ARG_PLAIN)
    target_link_libraries(${name} PRIVATE benchmark::benchmark)
  endif()
endfunction()

# zel_folder_tests(<lib> [LIBS ...]): one test program per test/<name>_test.cpp
# of the calling folder, linked with <lib>; files named *_threads_test.cpp are
# THREADED and also run under ThreadSanitizer, files named *_e2e_test.cpp are
# END_TO_END.
function(zel_folder_tests lib)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  file(GLOB test_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/test/*_test.cpp)
  foreach(source IN LISTS test_sources)
    get_filename_component(stem ${source} NAME_WE)
    set(kind "")
    if(stem MATCHES "_threads_test$")
      set(kind THREADED)
    elseif(stem MATCHES "_e2e_test$")
      set(kind END_TO_END)
    endif()
    zel_add_gtest(${lib}_${stem} SOURCES ${source} LIBS ${lib} ${ARG_LIBS} ${kind})
  endforeach()
endfunction()
