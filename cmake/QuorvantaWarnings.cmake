# Project-wide warning flags, applied per target through quorvanta_warnings.
add_library(quorvanta_warnings INTERFACE)
target_compile_options(quorvanta_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast -Wcast-align
  -Wunused -Woverloaded-virtual -Wconversion -Wsign-conversion
  -Wdouble-promotion -Wformat=2 -Wimplicit-fallthrough)
if(QUORVANTA_WERROR)
  target_compile_options(quorvanta_warnings INTERFACE -Werror)
endif()
