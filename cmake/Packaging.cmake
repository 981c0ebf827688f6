# What an installation holds besides the library, the headers and the programs (their own
# install rules are beside them): the files host authors build against, the manual pages and the
# Wireshark dissector. scripts/package.sh installs a tree configured with
# -DCMAKE_INSTALL_PREFIX=/usr and splits it into the Debian packages (packaging/debian/).
#
# Built with CMAKE_INSTALL_PREFIX=/usr the library lands in Debian's multiarch libdir
# (/usr/lib/x86_64-linux-gnu, /usr/lib/arm-linux-gnueabi), where the loader finds it.

set(_tarvik_packaging ${PROJECT_SOURCE_DIR}/packaging)
set(_tarvik_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Tarvik)

# pkg-config: pkg-config --cflags --libs tarvik
configure_file(${_tarvik_packaging}/tarvik.pc.in ${PROJECT_BINARY_DIR}/packaging/tarvik.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/packaging/tarvik.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# CMake: find_package(Tarvik 1.8). The config file finds everything relative to itself.
file(RELATIVE_PATH TARVIK_CONFIG_TO_PREFIX ${CMAKE_INSTALL_PREFIX}/${_tarvik_cmake_dir}
    ${CMAKE_INSTALL_PREFIX})
configure_file(${_tarvik_packaging}/TarvikConfig.cmake.in
    ${PROJECT_BINARY_DIR}/packaging/TarvikConfig.cmake @ONLY)
include(CMakePackageConfigHelpers)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/packaging/TarvikConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/packaging/TarvikConfig.cmake
    ${PROJECT_BINARY_DIR}/packaging/TarvikConfigVersion.cmake
    DESTINATION ${_tarvik_cmake_dir})

# The declaration of getSharedLibrary, for hosts that link the library and call it directly.
install(FILES ${PROJECT_SOURCE_DIR}/driver/ExportTCPDLL.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tarvik)

# A host that loads the library with dlopen compiles the record class in, from the same source.
install(FILES ${PROJECT_SOURCE_DIR}/value/CLabelVariable.cpp ${PROJECT_SOURCE_DIR}/value/labelarith.h
    DESTINATION ${CMAKE_INSTALL_DATADIR}/tarvik/record)

if(TARVIK_TOOLS)
    install(FILES ${PROJECT_SOURCE_DIR}/docs/man/tarvik-host.1 ${PROJECT_SOURCE_DIR}/docs/man/tarvik-sim.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    # bash-completion loads a command's file from here at its first Tab.
    install(FILES ${PROJECT_SOURCE_DIR}/tools/bash-completion/tarvik-host
        ${PROJECT_SOURCE_DIR}/tools/bash-completion/tarvik-sim
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
    # Wireshark's global folder for Lua plugins, loaded at start-up.
    install(FILES ${PROJECT_SOURCE_DIR}/tools/wireshark/tarvik.lua
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/wireshark/plugins)
endif()
