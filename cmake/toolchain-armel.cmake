# Cross build for the controller's CPU: ARM926EJ-S (ARMv5TE), soft-float, little-endian Linux,
# that is Debian's armel, with Debian's arm-linux-gnueabi cross compiler.
#
#   bash scripts/armel-sysroot.sh      # the Qt 5 armel libraries, unpacked into a sysroot folder
#   cmake -S . -B build-armel -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armel.cmake
#   cmake --build build-armel && ctest --test-dir build-armel   # tests run under qemu
#
# The sysroot comes from -DTARVIK_ARMEL_SYSROOT=..., else from the environment variable of the
# same name, else from the folder scripts/armel-sysroot.sh fills by default.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
# Debian's multiarch triplet: where find_package looks for Qt's CMake files in the sysroot, and
# the libdir GNUInstallDirs picks for a /usr installation.
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabi)
# What the packages are built for.
set(TARVIK_DEBIAN_ARCHITECTURE armel)

if(NOT TARVIK_ARMEL_SYSROOT)
    if(DEFINED ENV{TARVIK_ARMEL_SYSROOT})
        set(TARVIK_ARMEL_SYSROOT "$ENV{TARVIK_ARMEL_SYSROOT}")
    elseif(DEFINED ENV{TARVIK_ARMEL_DIR})
        set(TARVIK_ARMEL_SYSROOT "$ENV{TARVIK_ARMEL_DIR}/sysroot")
    else()
        set(TARVIK_ARMEL_SYSROOT "$ENV{HOME}/.cache/tarvik-armel/sysroot")
    endif()
endif()
set(TARVIK_ARMEL_SYSROOT "${TARVIK_ARMEL_SYSROOT}" CACHE PATH
    "armel sysroot with Qt 5 (made by scripts/armel-sysroot.sh)")
if(NOT EXISTS "${TARVIK_ARMEL_SYSROOT}/usr/lib/arm-linux-gnueabi/cmake/Qt5Core")
    message(FATAL_ERROR "No armel sysroot with Qt 5 at ${TARVIK_ARMEL_SYSROOT}: "
        "run scripts/armel-sysroot.sh or set TARVIK_ARMEL_SYSROOT")
endif()
# The compiler checks run in projects of their own that read this file again.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TARVIK_ARMEL_SYSROOT)

set(CMAKE_C_COMPILER arm-linux-gnueabi-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabi-g++)
# The compiler's defaults already are armv5te and soft-float; saying so keeps the build on the
# target CPU whatever the compiler package defaults to one day, and tunes for the core we run on.
set(_tarvik_cpu_flags "-march=armv5te -mtune=arm926ej-s -mfloat-abi=soft")
set(CMAKE_C_FLAGS_INIT "${_tarvik_cpu_flags}")
set(CMAKE_CXX_FLAGS_INIT "${_tarvik_cpu_flags}")

# glibc, libstdc++ and the crt files come from the cross compiler's own tree; Qt and what it
# needs come from the sysroot.
set(CMAKE_SYSROOT "${TARVIK_ARMEL_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH "${TARVIK_ARMEL_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Qt's code generators run on the build machine. Qt's CMake files would point these targets at
# the sysroot's ARM binaries, but only define them when they do not exist yet; the build
# machine's tools of the same Qt release write the same target-independent output.
foreach(_tarvik_tool moc rcc qmake)
    if(NOT TARGET Qt5::${_tarvik_tool})
        find_program(TARVIK_HOST_QT_${_tarvik_tool} ${_tarvik_tool}
            PATHS /usr/lib/qt5/bin NO_DEFAULT_PATH)
        if(NOT TARVIK_HOST_QT_${_tarvik_tool})
            message(FATAL_ERROR "The build machine's Qt 5 ${_tarvik_tool} is missing "
                "(/usr/lib/qt5/bin, package qtbase5-dev-tools)")
        endif()
        add_executable(Qt5::${_tarvik_tool} IMPORTED GLOBAL)
        set_target_properties(Qt5::${_tarvik_tool} PROPERTIES
            IMPORTED_LOCATION "${TARVIK_HOST_QT_${_tarvik_tool}}")
    endif()
endforeach()

# Target programs (the tests under ctest, and try_run) run under user-mode emulation of the
# ARM926EJ-S itself: qemu's default CPU would quietly accept ARMv6 and ARMv7 instructions the
# target lacks.
find_program(TARVIK_QEMU_ARM qemu-arm-static)
if(NOT TARVIK_QEMU_ARM)
    message(FATAL_ERROR "qemu-arm-static is missing (package qemu-user-static)")
endif()
set(TARVIK_QEMU_CPU arm926)
set(CMAKE_CROSSCOMPILING_EMULATOR
    ${TARVIK_QEMU_ARM} -cpu ${TARVIK_QEMU_CPU} -L ${TARVIK_ARMEL_SYSROOT})

# Checks of the build itself (the target ABI) and what the tests need under emulation.
set(CMAKE_PROJECT_Tarvik_INCLUDE "${CMAKE_CURRENT_LIST_DIR}/ArmelTarget.cmake")
