# Read right after project() in the armel cross build (named by cmake/toolchain-armel.cmake).

# The target ABI, proved at compile time: the build stops here when the compiler does not
# produce code for the controller's CPU and calling convention.
add_library(tarvik_target_abi OBJECT ${CMAKE_CURRENT_LIST_DIR}/target-abi-check.cpp)

# What lets the tests start the simulator and the host program under qemu as they do natively
# (see the comment at the top of the source). Preloaded into every test, never installed.
add_library(tarvik_qemu_preload SHARED ${CMAKE_CURRENT_LIST_DIR}/qemu-preload.cpp)
set_target_properties(tarvik_qemu_preload PROPERTIES
    LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/armel
    CXX_VISIBILITY_PRESET hidden)
set(TARVIK_QEMU_PRELOAD ${PROJECT_BINARY_DIR}/armel/libtarvik_qemu_preload.so)
target_compile_definitions(tarvik_qemu_preload PRIVATE
    TARVIK_PRELOAD_PATH="${TARVIK_QEMU_PRELOAD}"
    TARVIK_QEMU_PATH="${TARVIK_QEMU_ARM}"
    TARVIK_QEMU_CPU="${TARVIK_QEMU_CPU}"
    TARVIK_SYSROOT="${TARVIK_ARMEL_SYSROOT}")
target_link_libraries(tarvik_qemu_preload PRIVATE ${CMAKE_DL_LIBS})
list(APPEND CMAKE_CROSSCOMPILING_EMULATOR -E LD_PRELOAD=${TARVIK_QEMU_PRELOAD})

# The library is not built for the target before its ABI is proved.
function(_tarvik_library_after_abi_check)
    if(TARGET LibTarvik)
        add_dependencies(LibTarvik tarvik_target_abi)
    endif()
endfunction()
if(NOT CMAKE_VERSION VERSION_LESS 3.19)
    cmake_language(DEFER CALL _tarvik_library_after_abi_check)
endif()
