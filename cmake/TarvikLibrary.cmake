# The library is assembled from one object library per layer (value/, link/, driver/). The same
# objects make the shared library a host loads and a static archive that the tests and the
# benchmarks link, so they can reach the internals the shared library keeps hidden.
function(tarvik_layer name)
    add_library(${name} OBJECT ${ARGN})
    set_target_properties(${name} PROPERTIES
        POSITION_INDEPENDENT_CODE ON
        CXX_VISIBILITY_PRESET hidden
        VISIBILITY_INLINES_HIDDEN ON)
    target_compile_definitions(${name} PUBLIC TARVIK_BUILDING_LIBRARY
        QT_NO_FOREACH)
    target_include_directories(${name} PUBLIC
        ${PROJECT_SOURCE_DIR}/value ${PROJECT_SOURCE_DIR}/link ${PROJECT_SOURCE_DIR}/driver)
    target_link_libraries(${name} PUBLIC Qt5::Core Qt5::Network Qt5::SerialPort)
endfunction()
