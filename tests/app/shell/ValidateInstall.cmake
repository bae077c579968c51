# Installs the build into a scratch prefix and runs desktop-file-validate and appstreamcli on it.
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${PREFIX}" RESULT_VARIABLE failed
                OUTPUT_QUIET)
if(failed)
    message(FATAL_ERROR "cmake --install failed")
endif()
foreach(file lib/vantorelle/vantorelle-app lib/vantorelle/vantorelle lib/vantorelle/vantorelle-askpass
             share/applications/org.vantorelle.Vantorelle.desktop
             share/dbus-1/services/org.vantorelle.Vantorelle.service
             share/metainfo/org.vantorelle.Vantorelle.metainfo.xml
             share/icons/hicolor/scalable/apps/org.vantorelle.Vantorelle.svg
             share/icons/hicolor/symbolic/apps/org.vantorelle.Vantorelle-symbolic.svg)
    if(NOT EXISTS "${PREFIX}/${file}")
        message(FATAL_ERROR "not installed: ${file}")
    endif()
endforeach()
file(READ "${PREFIX}/share/dbus-1/services/org.vantorelle.Vantorelle.service" service)
if(NOT service MATCHES "Exec=${PREFIX}/lib/vantorelle/vantorelle-app --background\n")
    message(FATAL_ERROR "the service file does not start the installed app in the background:\n${service}")
endif()
file(READ "${PREFIX}/share/applications/org.vantorelle.Vantorelle.desktop" entry)
if(NOT entry MATCHES "\nExec=${PREFIX}/lib/vantorelle/vantorelle-app\n")
    message(FATAL_ERROR "the desktop entry does not name the installed app:\n${entry}")
endif()
find_program(DESKTOP_FILE_VALIDATE desktop-file-validate)
if(DESKTOP_FILE_VALIDATE)
    execute_process(COMMAND ${DESKTOP_FILE_VALIDATE} "${PREFIX}/share/applications/org.vantorelle.Vantorelle.desktop"
                    RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "desktop-file-validate failed")
    endif()
endif()
find_program(APPSTREAMCLI appstreamcli)
if(APPSTREAMCLI)
    execute_process(COMMAND ${APPSTREAMCLI} validate --no-net "${PREFIX}/share/metainfo/org.vantorelle.Vantorelle.metainfo.xml"
                    RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "appstreamcli validate failed")
    endif()
endif()
file(REMOVE_RECURSE "${PREFIX}")
