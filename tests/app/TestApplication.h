// One QApplication for a whole test program, on the offscreen platform.
#pragma once

#include <QApplication>

namespace vantorelle {

inline QApplication& testApplication()
{
    static int argc = 1;
    static char name[] = "test", *argv[] = {name, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // Never destroyed: Qt's own globals are gone by the time static objects would be.
    static auto* app = new QApplication(argc, argv);
    return *app;
}

} // namespace vantorelle
