# Script mode: cmake -DCORE_DIR=... -P CheckCoreIncludes.cmake
include(${CMAKE_CURRENT_LIST_DIR}/QuorvantaCoreRules.cmake)
quorvanta_check_core_includes(${CORE_DIR})
message(STATUS "src/core includes no platform header")
