# Warnings and sanitizer switches, carried by an INTERFACE target so that no
# global flag leaks into third-party code or the generated protobuf sources.
add_library(qel_project_options INTERFACE)
target_compile_options(qel_project_options INTERFACE
  -Wall -Wextra -Wno-unused-parameter)
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  # The lock annotations are checked, and a broken one fails the build.
  target_compile_options(qel_project_options INTERFACE -Wthread-safety -Werror=thread-safety)
endif()

# Sanitizers apply to every target of the build tree, generated code included:
# a partly instrumented process gives false reports under ThreadSanitizer.
add_library(qel_sanitizers INTERFACE)
set(_qel_san "")
if(ENABLE_ASAN)
  list(APPEND _qel_san address)
endif()
if(ENABLE_UBSAN)
  list(APPEND _qel_san undefined)
endif()
if(ENABLE_TSAN)
  if(ENABLE_ASAN)
    message(FATAL_ERROR "ENABLE_TSAN and ENABLE_ASAN cannot be combined")
  endif()
  list(APPEND _qel_san thread)
endif()
if(_qel_san)
  list(JOIN _qel_san "," _qel_san_list)
  target_compile_options(qel_sanitizers INTERFACE
    -fsanitize=${_qel_san_list} -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(qel_sanitizers INTERFACE -fsanitize=${_qel_san_list})
  target_link_libraries(qel_project_options INTERFACE qel_sanitizers)
endif()

# Coverage instrumentation for libFuzzer, on the library as well as the target.
if(QEL_BUILD_FUZZ AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  target_compile_options(qel_sanitizers INTERFACE -fsanitize=fuzzer-no-link)
  target_link_libraries(qel_project_options INTERFACE qel_sanitizers)
endif()
