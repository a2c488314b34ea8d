# GoogleTest: Debian's package natively; built from Debian's sources for the MinGW targets.
if(CMAKE_CROSSCOMPILING)
    set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    # Debian's sources trip a few of our warning flags; they are not our code.
    target_compile_options(gtest PRIVATE -w)
    target_compile_options(gtest_main PRIVATE -w)
else()
    find_package(GTest REQUIRED)
endif()

# No test may touch the real user's settings or buses: every test gets a scratch settings
# folder (under Wine the run's own prefix holds the registry) and a private set of buses.
set(CORVELLA_TEST_CONFIG_HOME ${CMAKE_BINARY_DIR}/corvella-test-config)
function(corvella_test_environment name)
    set_property(TEST ${name} APPEND PROPERTY ENVIRONMENT
                 "XDG_CONFIG_HOME=${CORVELLA_TEST_CONFIG_HOME}"
                 "CORVELLA_VSTBUS_SCOPE=corvella-tests" ${ARGN})
    if(CMAKE_CROSSCOMPILING)
        set_property(TEST ${name} APPEND PROPERTY FIXTURES_REQUIRED wine_desktop)
        # wine-run answers 77 for a 32-bit program where 32-bit programs cannot run.
        set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE 77)
    endif()
endfunction()

# Put before a script test's command in a cross build: where the build's programs are 32-bit
# and this machine cannot run 32-bit programs, the test is skipped with the reason (wine-run
# --gate) instead of failing half-way.
set(CORVELLA_WINE_GATE "")
if(CMAKE_CROSSCOMPILING AND CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(CORVELLA_WINE_GATE ${CMAKE_CROSSCOMPILING_EMULATOR} --gate --)
endif()

# corvella_test(NAME SOURCES... [LIBS libs...] [ENV VAR=VALUE...]) builds one GoogleTest program
# (linked with the platform test doubles, tests/support) and registers it. Cross builds run it through the emulator (Wine) that the toolchain names.
function(corvella_test name)
    cmake_parse_arguments(T "" "" "SOURCES;LIBS;ENV;LABELS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} corvella_testsupport GTest::gtest
                                          GTest::gtest_main)
    add_test(NAME ${name} COMMAND ${name})
    corvella_test_environment(${name} ${T_ENV})
    if(T_LABELS)
        set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
    endif()
endfunction()

# corvella_fuzzer(NAME SOURCES... LIBS... CORPUS dir) builds a fuzz target that defines
# LLVMFuzzerTestOneInput. Every native build gets NAME_replay, a ctest that runs the committed
# corpus (under the sanitizers in the sanitizer presets); the linux-fuzz preset (clang) builds
# NAME itself with libFuzzer for fuzzing sessions.
function(corvella_fuzzer name)
    cmake_parse_arguments(F "" "CORPUS" "SOURCES;LIBS" ${ARGN})
    if(CMAKE_CROSSCOMPILING)
        return()
    endif()
    add_executable(${name}_replay ${F_SOURCES} ${PROJECT_SOURCE_DIR}/tests/fuzz/replay_main.cpp)
    target_link_libraries(${name}_replay PRIVATE ${F_LIBS} corvella_testsupport)
    add_test(NAME ${name}_replay COMMAND ${name}_replay ${F_CORPUS})
    corvella_test_environment(${name}_replay)
    if(CORVELLA_FUZZ)
        add_executable(${name} ${F_SOURCES})
        target_link_libraries(${name} PRIVATE ${F_LIBS} corvella_testsupport)
        target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
        target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    endif()
endfunction()
