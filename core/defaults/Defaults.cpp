// Defaults: the typed key-value settings shared by the app, the helper and the command line.
#include "defaults/Defaults.h"

namespace vantorelle {

namespace {
template <typename T>
std::optional<T> as(const std::optional<DefaultsValue>& value)
{
    if (value) {
        if (const T* typed = std::get_if<T>(&*value)) {
            return *typed;
        }
    }
    return std::nullopt;
}
} // namespace

std::optional<bool> Defaults::boolean(std::string_view key) const
{
    return as<bool>(object(key));
}

std::optional<double> Defaults::number(std::string_view key) const
{
    const auto value = object(key);
    if (auto integral = as<std::int64_t>(value)) {
        return static_cast<double>(*integral);
    }
    return as<double>(value);
}

std::optional<std::int64_t> Defaults::integer(std::string_view key) const
{
    return as<std::int64_t>(object(key));
}

std::optional<std::string> Defaults::string(std::string_view key) const
{
    return as<std::string>(object(key));
}

std::optional<std::vector<std::string>> Defaults::stringArray(std::string_view key) const
{
    return as<std::vector<std::string>>(object(key));
}

std::optional<Date> Defaults::date(std::string_view key) const
{
    return as<Date>(object(key));
}

} // namespace vantorelle
