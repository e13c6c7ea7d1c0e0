# Instrumented builds, each in a build directory of its own (see scripts/sanitize.sh and
# scripts/fuzz.sh):
#   TIDEMARK_SANITIZE=address  AddressSanitizer + LeakSanitizer + UndefinedBehaviorSanitizer
#   TIDEMARK_SANITIZE=thread   ThreadSanitizer
#   TIDEMARK_FUZZ=ON           clang with libFuzzer coverage plus ASan and UBSan
set(TIDEMARK_SANITIZE "" CACHE STRING "address, thread or empty")
option(TIDEMARK_FUZZ "Build the fuzz targets as libFuzzer binaries (clang only)" OFF)

set(tidemark_sanitizer_flags)
if(TIDEMARK_SANITIZE STREQUAL "address")
  # GCC leaves float-to-integer overflow out of "undefined"; it is asked for by name.
  set(tidemark_sanitizer_flags -fsanitize=address,undefined,float-cast-overflow -fno-sanitize-recover=undefined,float-cast-overflow)
elseif(TIDEMARK_SANITIZE STREQUAL "thread")
  set(tidemark_sanitizer_flags -fsanitize=thread)
elseif(NOT TIDEMARK_SANITIZE STREQUAL "")
  message(FATAL_ERROR "TIDEMARK_SANITIZE must be address, thread or empty, not ${TIDEMARK_SANITIZE}")
endif()
if(TIDEMARK_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "TIDEMARK_FUZZ needs clang (libFuzzer)")
  endif()
  set(tidemark_sanitizer_flags -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined)
endif()
if(tidemark_sanitizer_flags)
  # Standard-library checks turn a bad optional or index into a report instead of silence.
  add_compile_options(${tidemark_sanitizer_flags} -fno-omit-frame-pointer -D_GLIBCXX_ASSERTIONS)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # GCC 12 with sanitizers reports std::function members inside std::regex's automaton
    # as maybe-uninitialized (GCC bug 105562, in libstdc++'s own code); plain builds keep
    # the warning.
    add_compile_options(-Wno-maybe-uninitialized)
  endif()
  string(REPLACE "fuzzer-no-link," "" tidemark_link_flags "${tidemark_sanitizer_flags}")
  add_link_options(${tidemark_link_flags})
endif()
