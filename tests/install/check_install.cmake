# Installs the build tree into a fresh prefix and uses it the way an
# application developer would: examples/subscribe_example.cpp is built once
# with find_package(QelClientSdk) (tests/install/CMakeLists.txt) and once with
# the flags of `pkg-config --cflags --libs qel_client_sdk_tcp_cpp`, and both
# programs, the Python module and the installed tools are run from the prefix
# with LD_LIBRARY_PATH unset, so every RUNPATH is proven.
#
# cmake -DBUILD_DIR= -DSOURCE_DIR= -DWORK_DIR= -DGENERATOR= -DCXX= -DLIBDIR=
#       -DINCLUDEDIR= -DPYTHONDIR= -DDATADIR= -DPYTHON= -P check_install.cmake
# (PYTHON empty when the build has no Python module; the tools are checked
# when the build made them.)
cmake_minimum_required(VERSION 3.18)
foreach(v BUILD_DIR SOURCE_DIR WORK_DIR GENERATOR CXX LIBDIR INCLUDEDIR DATADIR)
  if(NOT DEFINED ${v} OR "${${v}}" STREQUAL "")
    message(FATAL_ERROR "check_install.cmake: -D${v}= is required")
  endif()
endforeach()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
set(no_ld_path ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH)

# run(<name> <expected exit code> <stdout+stderr regex> COMMAND...)
function(run name want_rc want_regex)
  execute_process(COMMAND ${ARGN}
    WORKING_DIRECTORY ${WORK_DIR}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 120)
  if(NOT "${rc}" STREQUAL "${want_rc}" OR NOT "${out}${err}" MATCHES "${want_regex}")
    message(FATAL_ERROR "${name}: exit ${rc} (wanted ${want_rc}), output wanted to match "
                        "'${want_regex}':\n${out}\n${err}")
  endif()
  message(STATUS "ok: ${name}")
  set(run_output "${out}${err}" PARENT_SCOPE)
endfunction()

run("cmake --install" 0 "" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

# --- layout ------------------------------------------------------------------
set(lib ${prefix}/${LIBDIR})
set(inc ${prefix}/${INCLUDEDIR}/qel_client_sdk)
file(GLOB api_headers RELATIVE ${SOURCE_DIR}/api ${SOURCE_DIR}/api/*.h)
set(expected
  ${lib}/libqel_client_sdk_tcp_cpp.so
  ${lib}/libqel_client_sdk_tcp_cpp.so.1
  ${lib}/libkbr_query_client.so.1
  ${lib}/cmake/QelClientSdk/QelClientSdkConfig.cmake
  ${lib}/cmake/QelClientSdk/QelClientSdkConfigVersion.cmake
  ${lib}/cmake/QelClientSdk/QelClientSdkTargets.cmake
  ${lib}/pkgconfig/qel_client_sdk_tcp_cpp.pc)
foreach(h IN LISTS api_headers)
  list(APPEND expected ${inc}/${h})
endforeach()
if(PYTHON)
  list(APPEND expected ${prefix}/${PYTHONDIR}/_qel_gateway_client.so
                       ${prefix}/${PYTHONDIR}/qel_gateway_client.py)
endif()
if(EXISTS ${BUILD_DIR}/tools/feed_sim/qel-feed-sim)
  set(sim_data ${prefix}/${DATADIR}/qel_client_sdk/feed_sim)
  list(APPEND expected ${prefix}/bin/qel-feed-sim ${sim_data}/reference_data.json
                       ${sim_data}/scenarios/default.json)
endif()
if(EXISTS ${BUILD_DIR}/tools/qel_cli/qel-cli)
  list(APPEND expected ${prefix}/bin/qel-cli)
endif()
foreach(f IN LISTS expected)
  if(NOT EXISTS ${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
# Only the schema headers the public headers reach are installed: a missing
# one fails the consumer builds below; here every installed one must be
# included by another installed header.
file(GLOB installed_headers ${inc}/*.h)
set(included "")
foreach(h IN LISTS installed_headers)
  file(STRINGS ${h} lines REGEX "^#include \"[A-Za-z0-9_]+\\.pb\\.h\"")
  foreach(l IN LISTS lines)
    string(REGEX REPLACE "^#include \"([A-Za-z0-9_]+\\.pb\\.h)\".*" "\\1" name "${l}")
    list(APPEND included ${name})
  endforeach()
endforeach()
file(GLOB schema_headers RELATIVE ${inc} ${inc}/*.pb.h)
if(NOT schema_headers)
  message(FATAL_ERROR "no schema header installed in ${inc}")
endif()
foreach(h IN LISTS schema_headers)
  if(NOT h IN_LIST included)
    message(FATAL_ERROR "${inc}/${h} is installed but no public header includes it")
  endif()
endforeach()
run("SONAME and RUNPATH of the library" 0
    "SONAME[^\n]*\\[libqel_client_sdk_tcp_cpp\\.so\\.1\\].*RUNPATH[^\n]*\\[\\$ORIGIN\\]"
    readelf -d ${lib}/libqel_client_sdk_tcp_cpp.so.1)

# The example with no arguments prints its usage and exits 1: the program
# started, so the dynamic loader found every library from the prefix.
set(usage_regex "usage: [^\n]*HOST PORT USER PASSWORD")

# --- find_package consumer ---------------------------------------------------
set(consumer ${WORK_DIR}/find_package)
run("configure the find_package consumer" 0 ""
    ${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/install -B ${consumer} -G ${GENERATOR}
    -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
    -DEXAMPLE_SOURCE=${SOURCE_DIR}/examples/subscribe_example.cpp)
file(STRINGS ${consumer}/CMakeCache.txt found_dir REGEX "^QelClientSdk_DIR:")
if(NOT found_dir STREQUAL "QelClientSdk_DIR:PATH=${lib}/cmake/QelClientSdk")
  message(FATAL_ERROR "find_package took the package from elsewhere: ${found_dir}")
endif()
run("build the find_package consumer" 0 "" ${CMAKE_COMMAND} --build ${consumer})
run("find_package consumer starts" 1 "${usage_regex}" ${no_ld_path} ${consumer}/subscribe_example)

# --- pkg-config consumer -----------------------------------------------------
find_program(PKG_CONFIG pkg-config REQUIRED)
set(pc_env ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${lib}/pkgconfig)
run("pkg-config" 0 "-I${inc}" ${pc_env} ${PKG_CONFIG} --cflags --libs qel_client_sdk_tcp_cpp)
separate_arguments(pc_flags UNIX_COMMAND "${run_output}")
run("pkg-config libdir" 0 "" ${pc_env} ${PKG_CONFIG} --variable=libdir qel_client_sdk_tcp_cpp)
string(STRIP "${run_output}" pc_libdir)
if(NOT pc_libdir STREQUAL lib)
  message(FATAL_ERROR "pkg-config libdir is ${pc_libdir}, not ${lib}")
endif()
run("build the pkg-config consumer" 0 ""
    ${CXX} ${SOURCE_DIR}/examples/subscribe_example.cpp ${pc_flags} -Wl,-rpath,${pc_libdir}
    -o ${WORK_DIR}/subscribe_example_pc)
run("pkg-config consumer starts" 1 "${usage_regex}" ${no_ld_path} ${WORK_DIR}/subscribe_example_pc)

# --- Python module and tools from the prefix ---------------------------------
if(PYTHON)
  run("import the installed Python module" 0 "^${prefix}/${PYTHONDIR}/_qel_gateway_client\\.so"
      ${no_ld_path} PYTHONPATH=${prefix}/${PYTHONDIR} PYTHONDONTWRITEBYTECODE=1
      ${PYTHON} -c "import qel_gateway_client, _qel_gateway_client\nprint(_qel_gateway_client.__file__)")
endif()
if(EXISTS ${prefix}/bin/qel-cli)
  run("installed qel-cli --help" 0 "--help" ${no_ld_path} ${prefix}/bin/qel-cli --help)
endif()
if(EXISTS ${prefix}/bin/qel-feed-sim)
  # The installed scenario names the installed reference data, which the
  # simulator's query service loads at start (a failure stops the program).
  file(READ ${sim_data}/scenarios/default.json scenario)
  string(JSON ref GET "${scenario}" query reference_data)
  if(NOT ref STREQUAL "${sim_data}/reference_data.json")
    message(FATAL_ERROR "installed scenario names reference data ${ref}")
  endif()
  run("installed qel-feed-sim runs the installed scenario" 0 "summary: "
      ${no_ld_path} ${prefix}/bin/qel-feed-sim --scenario ${sim_data}/scenarios/default.json
      --no-tls --ephemeral-ports --duration 1 --stats-interval 0.5)
endif()
