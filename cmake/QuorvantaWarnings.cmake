# Project-wide warning flags, applied per target through quorvanta_warnings.
add_library(quorvanta_warnings INTERFACE)
target_compile_options(quorvanta_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast -Wcast-align
  -Wunused -Woverloaded-virtual -Wconversion -Wsign-conversion
  -Wdouble-promotion -Wformat=2 -Wimplicit-fallthrough)
if(QUORVANTA_WERROR)
  target_compile_options(quorvanta_warnings INTERFACE -Werror)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # GCC 12's flow analysis at -O2 reports uninitialised reads inside Asio's headers when a
    # socket is moved; they stay visible as warnings but do not fail optimised builds.
    target_compile_options(quorvanta_warnings INTERFACE -Wno-error=maybe-uninitialized)
  endif()
endif()
