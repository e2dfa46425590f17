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

# koral_add_test(NAME SOURCES ... [LIBS ...] [TIMEOUT s] [LABELS ...] [ENV ...])
# One GoogleTest binary registered as one CTest test.
function(koral_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS;ENV" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  add_test(NAME ${name} COMMAND ${name})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT})
  if(T_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
  endif()
  set(env "KORAL_SOURCE_DIR=${CMAKE_SOURCE_DIR}" "KORAL_BINARY_DIR=${CMAKE_BINARY_DIR}" ${T_ENV})
  set_tests_properties(${name} PROPERTIES ENVIRONMENT "${env}")
endfunction()
