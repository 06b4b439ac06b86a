# Installs the built library into a scratch prefix, builds examples/consumer
# against it twice, with find_package(QelCore) and with pkg-config, and runs
# both builds on the bundled settings archive, on the file each one stored and
# on a malformed archive.
#
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... -DCXX=... -DLIBDIR=...
#         -DINCLUDEDIR=... -P ConsumerTest.cmake
cmake_minimum_required(VERSION 3.21)
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
set(example ${SOURCE_DIR}/examples/consumer)
set(settings ${SOURCE_DIR}/examples/settings.qel)
set(warnings -Wall -Wextra -Wpedantic -Werror)

# run_step(<output variable> command...): the command must succeed.
function(run_step outvar)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "step failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  set(${outvar} "${out}" PARENT_SCOPE)
endfunction()

function(expect what actual expected)
  if(NOT actual STREQUAL expected)
    message(FATAL_ERROR "${what}:\n  got      '${actual}'\n  expected '${expected}'")
  endif()
endfunction()

# The path of dir with symbolic links and ".." resolved.
function(real_path outvar dir)
  get_filename_component(path "${dir}" REALPATH)
  set(${outvar} "${path}" PARENT_SCOPE)
endfunction()

run_step(out ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
real_path(real_prefix ${prefix})

# --- find_package(QelCore) ---------------------------------------------------
list(JOIN warnings " " warning_flags)
run_step(out ${CMAKE_COMMAND} -S ${example} -B ${WORK_DIR}/cmake-build -G Ninja
         -DCMAKE_CXX_COMPILER=${CXX} "-DCMAKE_CXX_FLAGS=${warning_flags}"
         -DCMAKE_PREFIX_PATH=${prefix})
file(STRINGS ${WORK_DIR}/cmake-build/CMakeCache.txt package_dir REGEX "^QelCore_DIR:")
string(REGEX REPLACE "^[^=]*=" "" package_dir "${package_dir}")
real_path(package_dir "${package_dir}")
expect("QelCore package found at" "${package_dir}" "${real_prefix}/${LIBDIR}/cmake/QelCore")
run_step(out ${CMAKE_COMMAND} --build ${WORK_DIR}/cmake-build)
set(by_cmake ${WORK_DIR}/cmake-build/qel_consumer)

# --- pkg-config ----------------------------------------------------------------
find_program(PKG_CONFIG pkg-config)
if(NOT PKG_CONFIG)
  message(FATAL_ERROR "pkg-config not found (scripts/deps.sh tests installs it)")
endif()
# Only the scratch prefix's qelcore.pc, whatever else the machine has.
set(pc_env ${CMAKE_COMMAND} -E env PKG_CONFIG_LIBDIR=${prefix}/${LIBDIR}/pkgconfig
           --unset=PKG_CONFIG_PATH)
run_step(pc_flags ${pc_env} ${PKG_CONFIG} --cflags --libs qelcore)
separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
set(include_dirs "")
set(library_dirs "")
foreach(flag IN LISTS pc_flags)
  if(flag MATCHES "^-I(.+)")
    real_path(dir "${CMAKE_MATCH_1}")
    list(APPEND include_dirs "${dir}")
  elseif(flag MATCHES "^-L(.+)")
    real_path(dir "${CMAKE_MATCH_1}")
    list(APPEND library_dirs "${dir}")
  endif()
endforeach()
expect("pkg-config include directories" "${include_dirs}" "${real_prefix}/${INCLUDEDIR}")
expect("pkg-config library directories" "${library_dirs}" "${real_prefix}/${LIBDIR}")
if(NOT "-lqelcore" IN_LIST pc_flags)
  message(FATAL_ERROR "pkg-config flags lack -lqelcore: ${pc_flags}")
endif()
set(by_pkg_config ${WORK_DIR}/qel_consumer_pc)
run_step(out ${CXX} -std=c++17 ${warnings} ${example}/main.cpp ${pc_flags} -o ${by_pkg_config})

# --- running both builds -------------------------------------------------------
# Both find the installed library: the CMake build through its RUNPATH, the
# other through LD_LIBRARY_PATH.
set(run_env ${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${prefix}/${LIBDIR})

# The bundled archive with the port of the proxy changed from 8080 to 8443: the
# same bytes but for those four.
file(READ ${settings} original HEX)
string(HEX "port070048080" old_port)
string(HEX "port070048443" new_port)
string(REPLACE "${old_port}" "${new_port}" expected_store "${original}")
if(expected_store STREQUAL original)
  message(FATAL_ERROR "${settings} holds no proxy port 8080")
endif()

# A copy of the first records with the value length of the third record's name
# broken: loading stops at that record.
file(READ ${settings} head LIMIT 120)
string(FIND "${head}" "001C032001107005theme" bad_offset)
if(bad_offset LESS 0)
  message(FATAL_ERROR "${settings} does not start as expected")
endif()
string(REPLACE "07005theme" "070Z5theme" head "${head}")
set(malformed ${WORK_DIR}/malformed.qel)
file(WRITE ${malformed} "${head}")

foreach(build IN ITEMS by_cmake by_pkg_config)
  set(exe ${${build}})
  set(stored ${WORK_DIR}/${build}.qel)
  execute_process(COMMAND ${run_env} ${exe} ${settings} ${stored}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  expect("${build} exit status on ${settings}" "${rc}" "0")
  expect("${build} on ${settings}" "${out}"
         "proxy proxy.example.org:8080\nstored ${stored} with port 8443\n")
  expect("${build} diagnostics on ${settings}" "${err}" "")
  file(READ ${stored} written HEX)
  if(NOT written STREQUAL expected_store)
    message(FATAL_ERROR "${build}: ${stored} is not the bundled archive with port 8443")
  endif()

  # The stored file loads again with the new port.
  run_step(out ${run_env} ${exe} ${stored} ${stored}.again)
  expect("${build} on ${stored}" "${out}"
         "proxy proxy.example.org:8443\nstored ${stored}.again with port 8443\n")

  # A malformed file is reported with its record and byte offset; nothing is stored.
  set(untouched ${WORK_DIR}/${build}-malformed-out.qel)
  execute_process(COMMAND ${run_env} ${exe} ${malformed} ${untouched}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  expect("${build} exit status on ${malformed}" "${rc}" "1")
  expect("${build} output on ${malformed}" "${out}" "")
  if(NOT err MATCHES "^${malformed}: malformed at record 3, byte offset ${bad_offset}: [a-z]")
    message(FATAL_ERROR "${build} on ${malformed}: unexpected report '${err}'")
  endif()
  if(EXISTS ${untouched})
    message(FATAL_ERROR "${build} stored ${untouched} from a malformed file")
  endif()
  message(STATUS "${build}: ${exe} passed")
endforeach()

# Two processes counting in one settings file at the same time (the
# commands of one execute_process run side by side) lose no increment.
set(shared ${WORK_DIR}/shared/counter.qel)
set(counter ${WORK_DIR}/cmake-build/qel_shared_counter)
execute_process(COMMAND ${counter} ${shared} 100 COMMAND ${counter} ${shared} 100
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
expect("shared counters' exit status" "${rc}" "0")
expect("shared counters' diagnostics" "${err}" "")
run_step(out ${counter} ${shared} 0)
if(NOT out MATCHES "^count 200 after 0 retries\n$")
  message(FATAL_ERROR "two counters of 100 increments each left '${out}'")
endif()
message(STATUS "qel_shared_counter: two processes counted to 200")

# The stores left their files and nothing else: no temporary file, no output
# from the malformed one.
file(GLOB left RELATIVE ${WORK_DIR} ${WORK_DIR}/*)
list(SORT left)
expect("files in ${WORK_DIR}" "${left}"
       "by_cmake.qel;by_cmake.qel.again;by_pkg_config.qel;by_pkg_config.qel.again;cmake-build;malformed.qel;prefix;qel_consumer_pc;shared")
