# The library is assembled from one object library per layer (value/, link/, driver/). The same
# objects make the shared library a host loads and a static archive that the tests and the
# benchmarks link, so they can reach the internals the shared library keeps hidden.

# The layers from the bottom up. Each one's sources see their own folder and the folders below
# it, never one above: an include that looks back up fails to compile.
set(TARVIK_LAYERS value link driver)

# The include folders of the layer in folder `layer`: its own and every one below it.
function(tarvik_layer_folders layer out)
    list(FIND TARVIK_LAYERS ${layer} top)
    if(top LESS 0)
        message(FATAL_ERROR "tarvik_layer: ${layer}/ is not one of the layers ${TARVIK_LAYERS}")
    endif()
    set(folders)
    foreach(i RANGE ${top})
        list(GET TARVIK_LAYERS ${i} below)
        list(APPEND folders ${PROJECT_SOURCE_DIR}/${below})
    endforeach()
    set(${out} ${folders} PARENT_SCOPE)
endfunction()

# Declares the object library of the layer whose folder calls it.
function(tarvik_layer name)
    get_filename_component(layer ${CMAKE_CURRENT_SOURCE_DIR} NAME)
    tarvik_layer_folders(${layer} folders)
    # A path out of the folder would reach past the include folders; the build refuses it.
    foreach(source ${ARGN})
        file(STRINGS ${CMAKE_CURRENT_SOURCE_DIR}/${source} escapes REGEX "^#include \"\\.\\./")
        if(escapes)
            message(FATAL_ERROR "${layer}/${source}: ${escapes}: a layer includes by name, from "
                "its own folder and those below")
        endif()
    endforeach()
    add_library(${name} OBJECT ${ARGN})
    set_target_properties(${name} PROPERTIES
        POSITION_INDEPENDENT_CODE ON
        CXX_VISIBILITY_PRESET hidden
        VISIBILITY_INLINES_HIDDEN ON)
    target_compile_definitions(${name} PUBLIC TARVIK_BUILDING_LIBRARY
        QT_NO_FOREACH)
    target_include_directories(${name} PUBLIC ${folders})
    target_link_libraries(${name} PUBLIC Qt5::Core Qt5::Network Qt5::SerialPort)
endfunction()
