# Writes the desktop entry and the D-Bus service file with the installed app's path.
set(app "${CMAKE_INSTALL_PREFIX}/lib/vantorelle/vantorelle-app")
# Both formats take a double-quoted argument; only a path with a blank needs it.
if(app MATCHES "[ \t]")
    set(app "\"${app}\"")
endif()
foreach(pair "org.vantorelle.Vantorelle.desktop.in;share/applications/org.vantorelle.Vantorelle.desktop"
             "org.vantorelle.Vantorelle.service.in;share/dbus-1/services/org.vantorelle.Vantorelle.service")
    list(GET pair 0 template)
    list(GET pair 1 target)
    file(READ "${VANTORELLE_PACKAGING_DIR}/${template}" text)
    string(REPLACE "@APP_EXEC@" "${app}" text "${text}")
    set(destination "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${target}")
    message(STATUS "Installing: ${destination}")
    file(WRITE "${destination}" "${text}")
endforeach()
