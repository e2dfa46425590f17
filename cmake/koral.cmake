# Project-wide compile flags and helpers.

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
