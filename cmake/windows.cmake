# The shipped executable, KRVLUP.EXE: the program's sources against the real
# Win32 ANSI API, with its icon and version resource; and the Win32 console
# tools with which the end-to-end tests drive it under Wine.
#
# Two builds from the same sources give the same bytes: no time stamp in the
# PE header, no build or source path in the output, symbols stripped.

enable_language(RC)

if(NOT CMAKE_BUILD_TYPE)
    set(CMAKE_BUILD_TYPE MinSizeRel)
endif()

# GCC's specs link default-manifest.o, when the toolchain has one, into
# every executable. An application manifest changes how Windows treats the
# program, so the link uses the compiler's own end-file spec without it.
execute_process(
    COMMAND ${CMAKE_CXX_COMPILER} -dumpspecs
    OUTPUT_VARIABLE KORVALUP_GCC_SPECS
    RESULT_VARIABLE KORVALUP_SPECS_RESULT)
if(NOT KORVALUP_SPECS_RESULT EQUAL 0)
    message(FATAL_ERROR "${CMAKE_CXX_COMPILER} -dumpspecs failed")
endif()
string(REGEX MATCH "\\*endfile:\n[^\n]*" KORVALUP_ENDFILE_SPEC "${KORVALUP_GCC_SPECS}")
if(KORVALUP_ENDFILE_SPEC STREQUAL "")
    message(FATAL_ERROR "no *endfile spec in ${CMAKE_CXX_COMPILER} -dumpspecs")
endif()
string(REPLACE "%{!shared:%:if-exists(default-manifest.o%s)}" ""
       KORVALUP_ENDFILE_SPEC "${KORVALUP_ENDFILE_SPEC}")
if(KORVALUP_ENDFILE_SPEC MATCHES "manifest")
    message(FATAL_ERROR "cannot keep the default manifest out of the link: ${KORVALUP_ENDFILE_SPEC}")
endif()
set(KORVALUP_NO_MANIFEST_SPECS ${CMAKE_BINARY_DIR}/no-manifest.specs)
file(WRITE ${KORVALUP_NO_MANIFEST_SPECS} "${KORVALUP_ENDFILE_SPEC}\n\n")

# Settings shared by every executable of this build.
set(KORVALUP_WIN32_COMPILE_OPTIONS
    $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions>
    $<$<COMPILE_LANGUAGE:CXX>:-fno-rtti>
    $<$<COMPILE_LANGUAGE:CXX>:-ffile-prefix-map=${CMAKE_SOURCE_DIR}/=>
    $<$<COMPILE_LANGUAGE:CXX>:-ffile-prefix-map=${CMAKE_BINARY_DIR}/=>
)
set(KORVALUP_WIN32_LINK_OPTIONS
    -static
    -s
    -specs=${KORVALUP_NO_MANIFEST_SPECS}
    -Wl,--no-insert-timestamp
)

# The updater.
add_executable(korvalup_exe WIN32
    ${KORVALUP_PROGRAM_SOURCES}
    korvalup/shipped.cpp
    resources/korvalup.rc
)
set_target_properties(korvalup_exe PROPERTIES
    OUTPUT_NAME KRVLUP
    SUFFIX .EXE
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
target_include_directories(korvalup_exe PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:${CMAKE_SOURCE_DIR}/platform/win32>
    $<$<COMPILE_LANGUAGE:CXX>:${CMAKE_SOURCE_DIR}/korvalup>
    $<$<COMPILE_LANGUAGE:CXX>:${CMAKE_SOURCE_DIR}/user>
    $<$<COMPILE_LANGUAGE:RC>:${CMAKE_SOURCE_DIR}/resources>)
target_compile_options(korvalup_exe PRIVATE
    ${KORVALUP_WIN32_COMPILE_OPTIONS}
    $<$<COMPILE_LANGUAGE:CXX>:${KORVALUP_TEXT_FLAGS}>
    $<$<COMPILE_LANGUAGE:CXX>:${KORVALUP_WARNINGS}>)
target_link_options(korvalup_exe PRIVATE -mwindows ${KORVALUP_WIN32_LINK_OPTIONS})
target_link_libraries(korvalup_exe PRIVATE kernel32 user32 advapi32 shell32 ole32)
set_source_files_properties(resources/korvalup.rc PROPERTIES
    OBJECT_DEPENDS ${CMAKE_SOURCE_DIR}/resources/korvalup.ico)

# The end-to-end tests' Win32 console tools, beside the executable.
foreach(tool boxpilot mutexholder)
    add_executable(${tool} tests/e2e/tools/${tool}.cpp)
    set_target_properties(${tool} PROPERTIES
        SUFFIX .exe
        RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
    target_compile_options(${tool} PRIVATE ${KORVALUP_WIN32_COMPILE_OPTIONS} -Wall -Wextra)
    target_link_options(${tool} PRIVATE -mconsole ${KORVALUP_WIN32_LINK_OPTIONS})
endforeach()
target_link_libraries(boxpilot PRIVATE user32 gdi32 kernel32)
target_link_libraries(mutexholder PRIVATE kernel32)
