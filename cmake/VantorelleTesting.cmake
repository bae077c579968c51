# vantorelle_add_test(<name> SOURCES ... [LIBS ...] [LABELS label] [RESOURCE_LOCK name] [TIMEOUT s])
# One GoogleTest executable whose cases CTest discovers when the tests run (not at build time,
# so a sanitizer build never executes test binaries while compiling).
# Discovery flattens list-valued properties, so each property takes exactly one value.
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
    list(LENGTH ARG_LABELS label_count)
    list(LENGTH ARG_RESOURCE_LOCK lock_count)
    if(label_count GREATER 1 OR lock_count GREATER 1)
        message(FATAL_ERROR "${name}: give one label and at most one resource lock")
    endif()
    target_compile_definitions(${name} PRIVATE VANTORELLE_BUILD_DIR="${PROJECT_BINARY_DIR}")
    if(ARG_LABELS)
        list(APPEND props LABELS "${ARG_LABELS}")
    endif()
    if(ARG_RESOURCE_LOCK)
        list(APPEND props RESOURCE_LOCK "${ARG_RESOURCE_LOCK}")
    endif()
    gtest_discover_tests(${name}
        DISCOVERY_MODE PRE_TEST
        PROPERTIES ${props}
        ENVIRONMENT "LANGUAGE=en")
endfunction()
