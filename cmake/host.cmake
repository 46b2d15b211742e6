# The host build: the program's sources over the simulated Windows, the
# GoogleTest suites, and the Wine end-to-end cases of the real executable.

if(NOT CMAKE_BUILD_TYPE)
    set(CMAKE_BUILD_TYPE RelWithDebInfo)
endif()

add_library(korvalup_program STATIC ${KORVALUP_PROGRAM_SOURCES} platform/host/sim.cpp)
target_include_directories(korvalup_program PUBLIC platform/host korvalup user)
target_compile_options(korvalup_program PRIVATE ${KORVALUP_TEXT_FLAGS} ${KORVALUP_WARNINGS})

enable_testing()
add_subdirectory(tests)
