# Project-wide compile flags and helpers.

# Compiler cache: a fresh checkout built on a machine that has built this
# tree before (continuous integration does, on a clean clone each time)
# reuses the objects. ccache hashes the paths under the source tree relative
# to it, and the compiler writes them relative (debug information, __FILE__),
# so that objects made in one checkout are right for any other.
find_program(KORAL_CCACHE ccache)
if(KORAL_CCACHE AND NOT CMAKE_CXX_COMPILER_LAUNCHER)
  set(CMAKE_C_COMPILER_LAUNCHER ${CMAKE_COMMAND} -E env CCACHE_BASEDIR=${CMAKE_SOURCE_DIR} ${KORAL_CCACHE})
  set(CMAKE_CXX_COMPILER_LAUNCHER ${CMAKE_C_COMPILER_LAUNCHER})
endif()
add_compile_options(-ffile-prefix-map=${CMAKE_SOURCE_DIR}=.)

set(KORAL_WARNINGS -Wall -Wextra -Werror -Wno-unused-parameter)
add_compile_options("$<$<COMPILE_LANGUAGE:CXX>:${KORAL_WARNINGS}>" "$<$<COMPILE_LANGUAGE:C>:${KORAL_WARNINGS}>")

if(KORALRX_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(KORALRX_SANITIZE STREQUAL "thread")
  # -Wno-error=tsan: GCC warns that Boost.Asio's atomic_thread_fence is not
  # instrumented; the fences it uses are backed by instrumented atomics.
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer -Wno-error=tsan)
  add_link_options(-fsanitize=thread)
elseif(KORALRX_SANITIZE)
  message(FATAL_ERROR "KORALRX_SANITIZE must be empty, address or thread")
endif()

include(GoogleTest)

# koral_add_test(NAME SOURCES ... [LIBS ...] [TIMEOUT s] [LABELS ...] [ENV ...])
# One GoogleTest binary; each of its test cases is a CTest test of its own,
# named NAME.Suite.Case, with the binary's timeout, labels and environment.
# The cases are listed when CTest runs (PRE_TEST), so that a slow sanitizer
# build cannot fail the build on a listing timeout.
function(koral_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS;ENV" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set(env "KORAL_SOURCE_DIR=${CMAKE_SOURCE_DIR}" "KORAL_BINARY_DIR=${CMAKE_BINARY_DIR}" ${T_ENV})
  gtest_discover_tests(${name}
    TEST_PREFIX "${name}."
    TEST_LIST ${name}_TESTS
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 120)
  # gtest_discover_tests loses the separators of list-valued PROPERTIES
  # (ENVIRONMENT, LABELS): the properties are set by a script CTest reads
  # after the listing, on every test case it found.
  set(script "${CMAKE_CURRENT_BINARY_DIR}/${name}_properties.cmake")
  # GENERATE: the environment may name targets' files.
  file(GENERATE OUTPUT "${script}" CONTENT
    "foreach(test IN LISTS ${name}_TESTS)
  set_tests_properties(\"\${test}\" PROPERTIES TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT [==[${env}]==]
    LABELS [==[${T_LABELS}]==])
endforeach()
")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${script}")
endfunction()

# koral_fuzz_smoke(AREA NAME [DICT] LIBS...)
# The libFuzzer target fuzz/<AREA>/fuzz_<NAME>.cc built with any compiler as
# a plain program on the stand-in driver (fuzz/FuzzDriver.cc), and run by
# ctest over its seeds and a few thousand inputs mutated from them, with
# fuzz/<AREA>/<NAME>.dict when DICT is given (label fuzz-smoke). The libFuzzer
# runs themselves are the fuzz build's.
function(koral_fuzz_smoke area name)
  cmake_parse_arguments(F "DICT" "" "" ${ARGN})
  set(dir ${PROJECT_SOURCE_DIR}/fuzz)
  set(target ${area}_fuzz_smoke_${name})
  add_executable(${target} ${dir}/${area}/fuzz_${name}.cc ${dir}/FuzzDriver.cc)
  target_include_directories(${target} PRIVATE ${dir} ${dir}/${area})
  target_link_libraries(${target} PRIVATE ${F_UNPARSED_ARGUMENTS})
  set(args -runs=10000 -max_total_time=5 -seed=1)
  if(F_DICT)
    list(APPEND args -dict=${dir}/${area}/${name}.dict)
  endif()
  add_test(NAME ${target} COMMAND ${target} ${args} ${dir}/${area}/corpus/${name})
  set_tests_properties(${target} PROPERTIES TIMEOUT 120 LABELS fuzz-smoke)
endfunction()
