# vantorelle_askpass_core: askpass prompt rules, timing, parent watch, application launcher.
add_library(vantorelle_askpass_core STATIC
    ${CMAKE_CURRENT_LIST_DIR}/AskpassPrompt.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ParentWatch.cpp
    ${CMAKE_CURRENT_LIST_DIR}/AppLauncher.cpp
)
# libsystemd's sd-bus asks the session bus to start the app; only its header is needed at build
# time, the library is opened when the app has to be started.
find_package(PkgConfig REQUIRED)
pkg_check_modules(SDBUS REQUIRED libsystemd)
target_include_directories(vantorelle_askpass_core PRIVATE ${SDBUS_INCLUDE_DIRS})
target_link_libraries(vantorelle_askpass_core PUBLIC vantorelle_sys PRIVATE ${CMAKE_DL_LIBS})
