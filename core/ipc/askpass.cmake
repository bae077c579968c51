# vantorelle_askpass_core: askpass prompt rules, timing, parent watch, application launcher.
add_library(vantorelle_askpass_core STATIC
    ${CMAKE_CURRENT_LIST_DIR}/AskpassPrompt.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ParentWatch.cpp
    ${CMAKE_CURRENT_LIST_DIR}/AppLauncher.cpp
)
target_link_libraries(vantorelle_askpass_core PUBLIC vantorelle_sys)
