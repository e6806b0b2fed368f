# Debian package of everything the install rules lay out, staged under /usr:
#   cd build && cpack -G DEB
set(CPACK_PACKAGE_NAME qel-client-sdk)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "QEL client SDK project")
set(CPACK_PACKAGE_CONTACT "QEL client SDK maintainers <maintainers@example.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "QEL market-data client library, headers, Python module and tools")
set(CPACK_PACKAGE_DESCRIPTION
    "The shared library libqel_client_sdk_tcp_cpp with its C++ headers, CMake package and pkg-config file, the Python module qel_gateway_client, the qel-cli consumer and the qel-feed-sim simulator.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES OFF)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
# Building against the headers needs protobuf's; the Python module needs the
# interpreter it was built for.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libprotobuf-dev, python3")
find_program(QEL_DPKG_SHLIBDEPS dpkg-shlibdeps)
mark_as_advanced(QEL_DPKG_SHLIBDEPS)
if(QEL_DPKG_SHLIBDEPS)
  # Depends computed from the shared objects the binaries load; the query
  # client library, in the package itself, is found through the $ORIGIN
  # RUNPATH of the binaries.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  # Debian 12's runtime packages of every library linked (see Dependencies.cmake).
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
      "libc6, libstdc++6, libgcc-s1, libprotobuf32, libevent-core-2.1-7, libevent-extra-2.1-7, libevent-openssl-2.1-7, libevent-pthreads-2.1-7, libssl3, liblz4-1, libjansson4")
endif()

include(CPack)
