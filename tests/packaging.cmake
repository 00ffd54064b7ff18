# Packaging checks: the installed package builds an application (CMake
# package and pkg-config file), and the shared library exports exactly the
# interface.
set(ORB_PACKAGING_DIR ${CMAKE_CURRENT_BINARY_DIR}/packaging)
set(ORB_TOOLCHAIN_FILE)
if(CMAKE_TOOLCHAIN_FILE)
  get_filename_component(ORB_TOOLCHAIN_FILE ${CMAKE_TOOLCHAIN_FILE} ABSOLUTE BASE_DIR ${CMAKE_SOURCE_DIR})
endif()

add_test(NAME test_unit_packaging
  COMMAND ${CMAKE_COMMAND}
    -DBUILD_DIR=${CMAKE_BINARY_DIR}
    -DWORK_DIR=${ORB_PACKAGING_DIR}
    -DCONSUMER_DIR=${CMAKE_CURRENT_SOURCE_DIR}/consumer
    -DGENERATOR=${CMAKE_GENERATOR}
    -DC_COMPILER=${CMAKE_C_COMPILER}
    -DTOOLCHAIN=${ORB_TOOLCHAIN_FILE}
    "-DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}"
    -DCONFIG=$<CONFIG>
    -P ${CMAKE_CURRENT_SOURCE_DIR}/packaging_check.cmake)
set_tests_properties(test_unit_packaging PROPERTIES LABELS "unit" TIMEOUT 300
  RESOURCE_LOCK packaging_dir)

if(MINGW)
  # The DLL's export table holds the interface only; its import table names
  # Windows system DLLs only (OpenCV and the C++ runtime are inside).
  foreach(check exports imports)
    add_test(NAME test_unit_dll_${check}
      COMMAND ${CMAKE_COMMAND} -DCHECK=${check} -DOBJDUMP=${ORB_OBJDUMP}
        -DLIBRARY=$<TARGET_FILE:orb_sdk_win>
        -DEXPECTED=${CMAKE_CURRENT_SOURCE_DIR}/exported_symbols.txt
        -P ${CMAKE_CURRENT_SOURCE_DIR}/dll_tables_check.cmake)
    set_tests_properties(test_unit_dll_${check} PROPERTIES LABELS "unit" TIMEOUT 60)
  endforeach()
elseif(NOT APPLE)
  find_program(ORB_NM NAMES nm)
  add_test(NAME test_unit_exported_symbols
    COMMAND ${CMAKE_COMMAND}
      -DNM=${ORB_NM}
      -DLIBRARY=$<TARGET_FILE:orb_sdk_win>
      -DEXPECTED=${CMAKE_CURRENT_SOURCE_DIR}/exported_symbols.txt
      -P ${CMAKE_CURRENT_SOURCE_DIR}/exported_symbols_check.cmake)
  set_tests_properties(test_unit_exported_symbols PROPERTIES LABELS "unit" TIMEOUT 60)
endif()
