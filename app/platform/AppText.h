#pragma once

#include <QString>
#include <initializer_list>
#include <string>
#include <string_view>

#include "i18n/L.h"

namespace vantorelle {

// A catalog text ready for a widget.
inline QString text(std::string_view key, std::initializer_list<std::string_view> args = {})
{
    return QString::fromStdString(args.size() == 0 ? L(key) : L(key, args));
}

// How log lines spell a flag.
inline std::string boolText(bool value)
{
    return value ? "true" : "false";
}

} // namespace vantorelle
