# Installs the current build into a scratch prefix, then builds and runs a
# small C application against it twice: through find_package(orb_sdk) and
# through the installed pkg-config file. In a Windows cross-build the
# application is built with the same toolchain, also against the MSVC import
# library orb_sdk_win.lib, and run under the emulator (Wine).
cmake_minimum_required(VERSION 3.20)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    string(REPLACE ";" " " cmd "${ARGN}")
    message(FATAL_ERROR "failed (${rc}): ${cmd}\n${out}\n${err}")
  endif()
  set(RUN_OUTPUT "${out}" PARENT_SCOPE)
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

set(config_args)
if(CONFIG)
  set(config_args --config ${CONFIG})
endif()
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} ${config_args})

foreach(f include/orb_sdk/orb_sdk.h include/orb_sdk/orb_sdk_export.h)
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
file(GLOB_RECURSE config_file ${prefix}/*/orb_sdkConfig.cmake)
file(GLOB_RECURSE pc_file ${prefix}/*/orb_sdk.pc)
if(NOT config_file OR NOT pc_file)
  message(FATAL_ERROR "package files missing: config '${config_file}', pkg-config '${pc_file}'")
endif()
get_filename_component(pc_dir ${pc_file} DIRECTORY)
get_filename_component(libdir ${pc_dir} DIRECTORY)

# A library built with the sanitizers brings its runtime along; the
# application is not instrumented, so the runtime cannot come first.
set(ENV{ASAN_OPTIONS} "verify_asan_link_order=0:detect_leaks=0")
set(ENV{LD_LIBRARY_PATH} "${libdir}:$ENV{LD_LIBRARY_PATH}")
set(ENV{WINEPATH} "Z:${prefix}/bin")
set(toolchain_args)
if(TOOLCHAIN)
  # The prefix is one more root the cross toolchain may search.
  set(toolchain_args -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN} -DORB_WIN_DEPS=${prefix})
endif()

# Runs the consumer exe and checks what it printed.
function(run_consumer exe how)
  run(${EMULATOR} ${exe})
  if(NOT RUN_OUTPUT MATCHES "Error \\[-1988\\]: Device not found")
    message(FATAL_ERROR "consumer (${how}) printed: ${RUN_OUTPUT}")
  endif()
endfunction()

# 1. CMake package.
set(cbuild ${WORK_DIR}/consumer-cmake)
run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${cbuild} -G ${GENERATOR}
    -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Release
    ${toolchain_args})
run(${CMAKE_COMMAND} --build ${cbuild})
file(GLOB_RECURSE exe ${cbuild}/orb_consumer ${cbuild}/orb_consumer.exe)
if(NOT exe)
  message(FATAL_ERROR "consumer was not built")
endif()
list(GET exe 0 exe)
run_consumer(${exe} "CMake package")

# 2. pkg-config, with the compiler called directly.
find_program(PKG_CONFIG NAMES pkg-config pkgconf)
if(NOT PKG_CONFIG)
  message(FATAL_ERROR "pkg-config not found")
endif()
set(ENV{PKG_CONFIG_PATH} ${pc_dir})
run(${PKG_CONFIG} --cflags --libs orb_sdk)
string(STRIP "${RUN_OUTPUT}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
set(pexe ${WORK_DIR}/orb_consumer_pc)
if(EMULATOR)
  string(APPEND pexe .exe)
endif()
run(${C_COMPILER} -std=c11 ${CONSUMER_DIR}/consumer.c ${flags} -o ${pexe})
run_consumer(${pexe} "pkg-config")

# 3. Windows: the import library made for MSVC names the DLL and every call.
if(EXISTS ${libdir}/orb_sdk_win.lib)
  set(lexe ${WORK_DIR}/orb_consumer_lib.exe)
  run(${C_COMPILER} -std=c11 -I${prefix}/include/orb_sdk ${CONSUMER_DIR}/consumer.c ${libdir}/orb_sdk_win.lib -o ${lexe})
  run_consumer(${lexe} "orb_sdk_win.lib")
endif()
message(STATUS "installed package builds and runs the consumer every way")
