# vantorelle_add_test(<name> SOURCES ... [LIBS ...] [LABELS ...] [RESOURCE_LOCK ...] [TIMEOUT s])
# One GoogleTest executable whose cases CTest discovers when the tests run (not at build time,
# so a sanitizer build never executes test binaries while compiling).
find_package(GTest REQUIRED)
include(GoogleTest)

function(vantorelle_add_test name)
    cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS;RESOURCE_LOCK" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 120)
    endif()
    set(props TIMEOUT ${ARG_TIMEOUT})
    if(ARG_LABELS)
        list(APPEND props LABELS "${ARG_LABELS}")
    endif()
    if(ARG_RESOURCE_LOCK)
        list(APPEND props RESOURCE_LOCK "${ARG_RESOURCE_LOCK}")
    endif()
    gtest_discover_tests(${name}
        DISCOVERY_MODE PRE_TEST
        PROPERTIES ${props}
        ENVIRONMENT "LANGUAGE=en;LC_ALL=C.UTF-8;VANTORELLE_BUILD_DIR=${PROJECT_BINARY_DIR}")
endfunction()
