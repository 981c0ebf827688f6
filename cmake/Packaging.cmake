# The Debian package an integrator installs on a host machine or on the controller side: one
# package, tarvik, per architecture, with everything the project installs: the driver library
# (libLibTarvik.so.1 with its SONAME and development links), the interface headers
# (include/tarvik), the host program tarvik-host and the simulator tarvik-sim.
#
#   cmake -S . -B build-package -DCMAKE_INSTALL_PREFIX=/usr ... && cmake --build build-package
#   cd build-package && cpack -G DEB            # tarvik_<version>_<arch>.deb
#
# Built with CMAKE_INSTALL_PREFIX=/usr the library lands in Debian's multiarch libdir
# (/usr/lib/x86_64-linux-gnu, /usr/lib/arm-linux-gnueabi), where the loader finds it.
# scripts/package.sh builds both packages.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvik)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Tarvik driver maintainers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "driver library for Tarvik field controllers, with a command-line host and a simulator")
# CPack puts the summary first and indents the rest.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "libLibTarvik.so.1 reads and writes tags on a Tarvik field controller over UDP or a serial
line. A supervisory host loads it and calls getSharedLibrary.

Also contains the interface headers (/usr/include/tarvik); tarvik-host, a command-line host
that loads the library as a host runtime does; and tarvik-sim, a controller simulator on
loopback UDP and pseudo-terminals.")
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

# Always named: CPack would take the build machine's architecture, also for a cross build.
if(TARVIK_DEBIAN_ARCHITECTURE)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${TARVIK_DEBIAN_ARCHITECTURE})
elseif(CMAKE_CROSSCOMPILING)
    message(FATAL_ERROR "Cross build without TARVIK_DEBIAN_ARCHITECTURE: "
        "the toolchain file names the Debian architecture of the packages")
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
else()
    message(FATAL_ERROR "No Debian architecture known for ${CMAKE_SYSTEM_PROCESSOR}: "
        "set TARVIK_DEBIAN_ARCHITECTURE")
endif()

# Named by hand rather than by dpkg-shlibdeps, which cannot see a cross build's libraries. The
# versions are the lowest Debian 12's symbol files ask for (the same on amd64 and armel).
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libqt5core5a (>= 5.15.1), libqt5network5 (>= 5.8.0), libqt5serialport5 (>= 5.6.0), libstdc++6 (>= 11), libgcc-s1 (>= 3.5), libc6 (>= 2.34)")
# The headers include Qt's.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "qtbase5-dev")
# A shlibs file and the ldconfig trigger for the library in the multiarch libdir.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

include(CPack)
