# Checks the dynamic symbols a host sees: getSharedLibrary and the members of CLabelVariable,
# and nothing else that belongs to the project. Symbols of other origin (the C++ runtime, Qt
# templates instantiated here) are not judged.
#   cmake -DLIBRARY=<path> -DNM=<nm> -P check_exports.cmake

cmake_minimum_required(VERSION 3.16)

execute_process(COMMAND ${NM} -D --defined-only -C ${LIBRARY}
    OUTPUT_VARIABLE listing RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "${NM} could not read ${LIBRARY}")
endif()

set(members
    "CLabelVariable()" "CLabelVariable(CLabelVariable const&)" "~CLabelVariable()"
    "operator=(CLabelVariable const&)"
    "atbool(int)" "atchar(int)" "atInt8(int)" "atUInt8(int)" "atInt16(int)" "atUInt16(int)"
    "atInt32(int)" "atUInt32(int)" "atFloat(int)" "atInt64(int)" "atUInt64(int)"
    "atDouble(int)" "atQString(int)"
    "operator+(CLabelVariable const&)" "operator-(CLabelVariable const&)"
    "operator*(CLabelVariable const&)" "operator/(CLabelVariable const&)"
    "operator==(CLabelVariable const&)")
set(wanted getSharedLibrary)
foreach(member IN LISTS members)
    list(APPEND wanted "CLabelVariable::${member}")
endforeach()

# Every listing line is "address kind name"; keep the names.
string(REPLACE ";" "\\;" listing "${listing}")
string(REPLACE "\n" ";" lines "${listing}")
set(found "")
set(foreign "")
foreach(line IN LISTS lines)
    string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] " "" name "${line}")
    if(name STREQUAL "")
        continue()
    endif()
    if(name IN_LIST wanted)
        list(APPEND found "${name}")
    elseif(name MATCHES "Tarvik|tarvik|CLabelVariable|CDriveBaseClass|DataType|EDebugCmdType|getSharedLibrary")
        list(APPEND foreign "${name}")
    endif()
endforeach()

set(missing "")
foreach(name IN LISTS wanted)
    if(NOT name IN_LIST found)
        list(APPEND missing "${name}")
    endif()
endforeach()

if(missing OR foreign)
    foreach(list missing foreign)
        if(NOT ${list})
            set(${list} "(none)")
        endif()
    endforeach()
    string(REPLACE ";" "\n  " missing "${missing}")
    string(REPLACE ";" "\n  " foreign "${foreign}")
    message(FATAL_ERROR "${LIBRARY}\nmissing exports:\n  ${missing}\nexported beyond the host interface:\n  ${foreign}")
endif()
list(LENGTH wanted n)
message(STATUS "${n} exports as a host expects them, nothing else of the project")
