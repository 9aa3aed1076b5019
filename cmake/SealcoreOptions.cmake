# Compiler settings shared by every target of the project.

if(SEALCORE_SANITIZE)
  # Applied globally so that the tests and the code they call are instrumented alike.
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

if(SEALCORE_TSAN)
  # For the tests that run the library on several threads; .ci/run builds and runs only
  # encrypt_api_threads_test and unseal_test's threaded test this way, since the other tests'
  # expectations assume no sanitizer or AddressSanitizer.
  if(SEALCORE_SANITIZE OR SEALCORE_FUZZ)
    message(FATAL_ERROR "SEALCORE_TSAN cannot be combined with AddressSanitizer")
  endif()
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

if(SEALCORE_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "SEALCORE_FUZZ needs clang: configure with -DCMAKE_CXX_COMPILER=clang++")
  endif()
  # The library gets coverage instrumentation too, so the fuzzer steers by the code under test;
  # only the fuzz targets link libFuzzer itself.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
  # The unsealing splits texts across threads in chunks of this many sealed characters (a
  # multiple of 96); small ones let the fuzzer's texts of a few slices split.
  add_compile_definitions(SEALCORE_SPLIT_CHUNK=147456)
endif()

# Warnings are errors on our own targets only, never on third-party code.
function(sealcore_project_options target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
  target_compile_features(${target} PUBLIC cxx_std_17)
endfunction()
