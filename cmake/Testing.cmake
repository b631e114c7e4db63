# GoogleTest from the Debian sources, built for whichever target this tree compiles for.
enable_testing()
include(CMakeParseArguments)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/_deps/googletest EXCLUDE_FROM_ALL)
if(NOT WIN32)
    include(GoogleTest)
endif()

# qix_test(NAME SOURCES ... [LIBS ...] [GUI] [TIMEOUT s])
# Native: every gtest case becomes its own ctest entry.
# Windows: one ctest entry per executable, run under Wine inside the shared
# session (one Xvfb display, one prefix) that the wine_session fixture keeps.
# GUI tests share one desktop, so they never run side by side.
function(qix_test name)
    cmake_parse_arguments(T "GUI" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} gmock gtest_main)
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    if(WIN32)
        add_test(NAME ${name} COMMAND ${name})
        set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine_session TIMEOUT ${T_TIMEOUT}
                             ENVIRONMENT "QIX_BUILD_DIR=${CMAKE_BINARY_DIR}")
        if(T_GUI)
            set_tests_properties(${name} PROPERTIES RESOURCE_LOCK desktop)
        endif()
    else()
        gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
                             PROPERTIES TIMEOUT ${T_TIMEOUT} ENVIRONMENT "QIX_BUILD_DIR=${CMAKE_BINARY_DIR}")
    endif()
endfunction()

# qix_fuzz(NAME SOURCES ... [LIBS ...] CORPUS dir)
# The sources define LLVMFuzzerTestOneInput. In the `fuzz` preset (clang) this is a
# libFuzzer binary; in the native presets it becomes a ctest entry that replays the
# committed corpus under the sanitizers, so every found crash stays a regression test.
function(qix_fuzz name)
    if(WIN32)
        return()
    endif()
    cmake_parse_arguments(F "" "CORPUS" "SOURCES;LIBS" ${ARGN})
    if(QIX_FUZZ)
        add_executable(${name} ${F_SOURCES})
        target_link_libraries(${name} PRIVATE ${F_LIBS})
        target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
        target_link_options(${name} PRIVATE -fsanitize=fuzzer)
        add_dependencies(fuzzers ${name})
    else()
        add_executable(${name} ${F_SOURCES} ${CMAKE_SOURCE_DIR}/tests/support/FuzzReplay.cpp)
        target_link_libraries(${name} PRIVATE ${F_LIBS})
        add_test(NAME ${name}_corpus COMMAND ${name} ${F_CORPUS})
        set_tests_properties(${name}_corpus PROPERTIES TIMEOUT 300)
    endif()
endfunction()
