# Windows (MinGW-w64) build: included by the top-level CMakeLists.txt before
# any target exists. The DLL a Windows developer receives is self-contained:
# OpenCV, libstdc++, libgcc and winpthread are linked in statically, so it
# imports only Windows system DLLs. Programs are linked the same way, so they
# run from the build tree (under Wine on Linux) without any DLL beside them.
if(NOT MINGW)
  return()
endif()

add_link_options(-static)
# The export table holds the interface only, not what the static archives
# linked in would export.
add_link_options(-Wl,--exclude-all-symbols)
find_program(ORB_DLLTOOL NAMES ${CMAKE_C_COMPILER_TARGET}-dlltool x86_64-w64-mingw32-dlltool dlltool REQUIRED)
find_program(ORB_OBJDUMP NAMES x86_64-w64-mingw32-objdump objdump REQUIRED)

# orb_sdk_win.dll beside its MinGW import library liborb_sdk_win.dll.a, a .def
# file of its exports, and orb_sdk_win.lib, the import library MSVC links.
function(orb_windows_dll target)
  set(def ${CMAKE_BINARY_DIR}/${target}.def)
  set(msvc_lib ${CMAKE_BINARY_DIR}/${target}.lib)
  set_target_properties(${target} PROPERTIES PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
  target_link_options(${target} PRIVATE -Wl,--output-def,${def})
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${ORB_DLLTOOL} -m i386:x86-64 -d ${def} -D $<TARGET_FILE_NAME:${target}> -l ${msvc_lib}
    BYPRODUCTS ${def} ${msvc_lib}
    COMMENT "MSVC import library ${target}.lib")
  install(FILES ${def} ${msvc_lib} DESTINATION ${CMAKE_INSTALL_LIBDIR})
endfunction()

# Windows finds a program's DLLs beside it: a copy of the library goes there.
function(orb_windows_dll_beside target)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:orb_sdk_win> $<TARGET_FILE_DIR:${target}>)
endfunction()
