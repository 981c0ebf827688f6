# One source for the version every part shows: the project's VERSION, and the release stamp the
# driver shows after it. Targets that show them link tarvik_version and include tarvikversion.h,
# which is generated into the build tree.
set(TARVIK_RELEASE_STAMP 202001027)

configure_file(${CMAKE_CURRENT_LIST_DIR}/tarvikversion.h.in
    ${PROJECT_BINARY_DIR}/generated/tarvikversion.h @ONLY)
add_library(tarvik_version INTERFACE)
target_include_directories(tarvik_version INTERFACE ${PROJECT_BINARY_DIR}/generated)
