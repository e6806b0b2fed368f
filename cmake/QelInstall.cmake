# Install rules: `cmake --install build --prefix P` lays out
#   P/lib/libqel_client_sdk_tcp_cpp.so*      the library (and the query client it loads)
#   P/include/qel_client_sdk/                the api/ headers and the schema headers they include
#   P/lib/cmake/QelClientSdk/                find_package(QelClientSdk) -> QelClientSdk::qel_client_sdk_tcp_cpp
#   P/lib/pkgconfig/qel_client_sdk_tcp_cpp.pc
#   P/lib/python3/dist-packages/             _qel_gateway_client.so and qel_gateway_client.py
#   P/bin/qel-cli, P/bin/qel-feed-sim
#   P/share/qel_client_sdk/feed_sim/         the simulator's scenario and reference data
# Every installed binary finds the installed library through a RUNPATH
# relative to itself, so the tree works from any prefix without
# LD_LIBRARY_PATH.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The headers keep their flat names (`#include "client_factory.h"`), so they
# live in a folder of their own rather than directly in include/.
set(QEL_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/qel_client_sdk)
set(QEL_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/QelClientSdk)
set(QEL_INSTALL_DATADIR ${CMAKE_INSTALL_DATADIR}/qel_client_sdk)
# Debian's folder for modules of every python3 version.
set(QEL_INSTALL_PYTHONDIR lib/python3/dist-packages CACHE STRING
    "Folder under the install prefix for the Python module")

# $ORIGIN-relative RUNPATH from an installed folder to the library folder.
function(qel_runpath_to_libdir out from_dir)
  file(RELATIVE_PATH rel /qel_prefix/${from_dir} /qel_prefix/${CMAKE_INSTALL_LIBDIR})
  string(REGEX REPLACE "/$" "" rel "${rel}")
  if(rel STREQUAL "")
    set(${out} "$ORIGIN" PARENT_SCOPE)
  else()
    set(${out} "$ORIGIN/${rel}" PARENT_SCOPE)
  endif()
endfunction()

# The public headers include these generated schema headers, directly or
# through the schemas' imports: exactly these are installed, found by reading
# the #include lines of api/ and following each schema's import lines.
function(qel_public_schema_headers out)
  set(model_dir ${PROJECT_SOURCE_DIR}/protocol/model)
  file(GLOB api_headers ${PROJECT_SOURCE_DIR}/api/*.h)
  set(pending "")
  foreach(h IN LISTS api_headers)
    file(STRINGS ${h} lines REGEX "^#include \"[A-Za-z0-9_]+\\.pb\\.h\"")
    foreach(l IN LISTS lines)
      string(REGEX REPLACE "^#include \"([A-Za-z0-9_]+)\\.pb\\.h\".*" "\\1" name "${l}")
      list(APPEND pending ${name})
    endforeach()
  endforeach()
  set(seen "")
  while(pending)
    list(POP_FRONT pending name)
    if(name IN_LIST seen)
      continue()
    endif()
    if(NOT EXISTS ${model_dir}/${name}.proto)
      message(FATAL_ERROR "api/ includes ${name}.pb.h but protocol/model has no ${name}.proto")
    endif()
    list(APPEND seen ${name})
    file(STRINGS ${model_dir}/${name}.proto imports REGEX "^import \"[A-Za-z0-9_]+\\.proto\"")
    foreach(l IN LISTS imports)
      string(REGEX REPLACE "^import \"([A-Za-z0-9_]+)\\.proto\".*" "\\1" dep "${l}")
      list(APPEND pending ${dep})
    endforeach()
  endwhile()
  list(SORT seen)
  list(TRANSFORM seen PREPEND ${QEL_MODEL_GEN_DIR}/)
  list(TRANSFORM seen APPEND .pb.h)
  set(${out} ${seen} PARENT_SCOPE)
endfunction()

# --- the library, its headers and its package files --------------------------
# The public headers use C++17; a consumer compiles them in that mode at least.
target_compile_features(qel_client_sdk_tcp_cpp PUBLIC cxx_std_17)
qel_runpath_to_libdir(_qel_lib_runpath ${CMAKE_INSTALL_LIBDIR})
# The query client sits beside the library; the RUNPATH finds it from any prefix.
set_target_properties(qel_client_sdk_tcp_cpp kbr_query_client PROPERTIES
  INSTALL_RPATH "${_qel_lib_runpath}")

# kbr_query_client is a shared library the SDK loads; it is exported so that
# the imported target knows the dependency (the linker resolves it at a
# consumer's link), but none of its own headers are public.
install(TARGETS qel_client_sdk_tcp_cpp
  EXPORT QelClientSdkTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${QEL_INSTALL_INCLUDEDIR})
install(TARGETS kbr_query_client
  EXPORT QelClientSdkTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
file(GLOB _qel_api_headers ${PROJECT_SOURCE_DIR}/api/*.h)
qel_public_schema_headers(_qel_schema_headers)
install(FILES ${_qel_api_headers} ${_qel_schema_headers} DESTINATION ${QEL_INSTALL_INCLUDEDIR})

install(EXPORT QelClientSdkTargets
  NAMESPACE QelClientSdk::
  DESTINATION ${QEL_INSTALL_CMAKEDIR})
configure_package_config_file(
  ${PROJECT_SOURCE_DIR}/cmake/QelClientSdkConfig.cmake.in
  ${PROJECT_BINARY_DIR}/package/QelClientSdkConfig.cmake
  INSTALL_DESTINATION ${QEL_INSTALL_CMAKEDIR})
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/package/QelClientSdkConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/package/QelClientSdkConfig.cmake
  ${PROJECT_BINARY_DIR}/package/QelClientSdkConfigVersion.cmake
  DESTINATION ${QEL_INSTALL_CMAKEDIR})

# The .pc file names its prefix, which is only known when installing
# (`--prefix`, or /usr when CPack stages the package): written then.
install(CODE "
  set(QEL_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(QEL_PC_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(QEL_PC_INCLUDEDIR \"${QEL_INSTALL_INCLUDEDIR}\")
  set(QEL_PC_VERSION \"${PROJECT_VERSION}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/cmake/qel_client_sdk_tcp_cpp.pc.in\"
                 \"${PROJECT_BINARY_DIR}/package/qel_client_sdk_tcp_cpp.pc\" @ONLY)
")
install(FILES ${PROJECT_BINARY_DIR}/package/qel_client_sdk_tcp_cpp.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# --- the Python module -------------------------------------------------------
if(TARGET qel_gateway_client)
  qel_runpath_to_libdir(_qel_py_runpath ${QEL_INSTALL_PYTHONDIR})
  set_target_properties(qel_gateway_client PROPERTIES INSTALL_RPATH "${_qel_py_runpath}")
  install(TARGETS qel_gateway_client LIBRARY DESTINATION ${QEL_INSTALL_PYTHONDIR})
  install(FILES ${QEL_PYTHON_MODULE_DIR}/qel_gateway_client.py DESTINATION ${QEL_INSTALL_PYTHONDIR})
endif()

# --- the programs and the simulator's data -----------------------------------
qel_runpath_to_libdir(_qel_bin_runpath ${CMAKE_INSTALL_BINDIR})
foreach(_qel_prog qel-cli qel-feed-sim)
  if(TARGET ${_qel_prog})
    set_target_properties(${_qel_prog} PROPERTIES INSTALL_RPATH "${_qel_bin_runpath}")
    install(TARGETS ${_qel_prog} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
if(TARGET qel-feed-sim)
  set(_qel_sim_src ${PROJECT_SOURCE_DIR}/tools/feed_sim)
  set(_qel_sim_data ${QEL_INSTALL_DATADIR}/feed_sim)
  install(FILES ${_qel_sim_src}/reference_data.json DESTINATION ${_qel_sim_data})
  # The program's built-in reference data path is the source tree's; the
  # installed scenario names the installed copy instead (a scenario's
  # "query"."reference_data" is taken as written, so it is absolute).
  install(CODE "
    file(READ \"${_qel_sim_src}/scenarios/default.json\" scenario)
    string(JSON scenario SET \"\${scenario}\" query reference_data
           \"\\\"\${CMAKE_INSTALL_PREFIX}/${_qel_sim_data}/reference_data.json\\\"\")
    file(WRITE \"${PROJECT_BINARY_DIR}/package/scenarios/default.json\" \"\${scenario}\\n\")
  ")
  install(FILES ${PROJECT_BINARY_DIR}/package/scenarios/default.json
    DESTINATION ${_qel_sim_data}/scenarios)
endif()
