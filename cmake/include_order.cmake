# Fails when a file of src/ includes a header from a folder above its own.
# The folders are layers, listed bottom-up: a file may include headers of its
# own folder, of any folder below it and the public headers of include/.
#   cmake -DSRC_DIR=<path to src> -P cmake/include_order.cmake
cmake_minimum_required(VERSION 3.20)

set(ORB_LAYERS platform core record filters measure control stream imu_rgb device api)

if(NOT SRC_DIR)
  message(FATAL_ERROR "usage: cmake -DSRC_DIR=<path to src> -P include_order.cmake")
endif()

file(GLOB_RECURSE sources RELATIVE ${SRC_DIR} ${SRC_DIR}/*.h ${SRC_DIR}/*.cpp)
set(problems "")
set(count 0)
foreach(rel ${sources})
  string(REGEX MATCH "^[^/]+" folder "${rel}")
  list(FIND ORB_LAYERS "${folder}" own)
  if(own EQUAL -1 OR rel STREQUAL folder)
    string(APPEND problems "  ${rel}: not inside a folder of the layer order\n")
    continue()
  endif()
  math(EXPR count "${count} + 1")
  file(STRINGS ${SRC_DIR}/${rel} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^\"]+/")
  foreach(line ${includes})
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*$" "\\1" header "${line}")
    string(REGEX MATCH "^[^/]+" target "${header}")
    list(FIND ORB_LAYERS "${target}" rank)
    if(rank EQUAL -1)
      string(APPEND problems "  ${rel}: includes ${header}, from no folder of the layer order\n")
    elseif(rank GREATER own)
      string(APPEND problems "  ${rel}: includes ${header}, from ${target}/ above ${folder}/\n")
    endif()
  endforeach()
endforeach()

if(problems)
  string(REPLACE ";" " < " order "${ORB_LAYERS}")
  message(FATAL_ERROR "include order broken (layers bottom-up: ${order}):\n${problems}")
endif()
message(STATUS "include order kept in ${count} files")
