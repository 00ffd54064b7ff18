# Packaging checks: the installed package builds an application (CMake
# package and pkg-config file), and the shared library exports exactly the
# interface.
set(ORB_PACKAGING_DIR ${CMAKE_CURRENT_BINARY_DIR}/packaging)

add_test(NAME test_unit_packaging
  COMMAND ${CMAKE_COMMAND}
    -DBUILD_DIR=${CMAKE_BINARY_DIR}
    -DWORK_DIR=${ORB_PACKAGING_DIR}
    -DCONSUMER_DIR=${CMAKE_CURRENT_SOURCE_DIR}/consumer
    -DGENERATOR=${CMAKE_GENERATOR}
    -DC_COMPILER=${CMAKE_C_COMPILER}
    -DCONFIG=$<CONFIG>
    -P ${CMAKE_CURRENT_SOURCE_DIR}/packaging_check.cmake)
set_tests_properties(test_unit_packaging PROPERTIES LABELS "unit" TIMEOUT 300
  RESOURCE_LOCK packaging_dir)

if(NOT WIN32 AND NOT APPLE)
  find_program(ORB_NM NAMES nm)
  add_test(NAME test_unit_exported_symbols
    COMMAND ${CMAKE_COMMAND}
      -DNM=${ORB_NM}
      -DLIBRARY=$<TARGET_FILE:orb_sdk_win>
      -DEXPECTED=${CMAKE_CURRENT_SOURCE_DIR}/exported_symbols.txt
      -P ${CMAKE_CURRENT_SOURCE_DIR}/exported_symbols_check.cmake)
  set_tests_properties(test_unit_exported_symbols PROPERTIES LABELS "unit" TIMEOUT 60)
endif()
