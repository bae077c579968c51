// Defaults: the typed key-value settings shared by the app, the helper and the command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "sys/Clock.h"

namespace vantorelle {

// What one key can hold. A date is its own kind so a reader can tell it from a number.
using DefaultsValue = std::variant<bool, std::int64_t, double, std::string, std::vector<std::string>, Date>;

// Reads never fail: a missing or unreadable store reads as empty. The typed readers return a
// value only when the stored kind matches (an integer also reads as a number).
class Defaults
{
public:
    virtual ~Defaults() = default;

    virtual std::optional<DefaultsValue> object(std::string_view key) const = 0;
    virtual void set(std::string_view key, DefaultsValue value) = 0;
    virtual void remove(std::string_view key) = 0;

    std::optional<bool> boolean(std::string_view key) const;
    std::optional<double> number(std::string_view key) const;
    std::optional<std::int64_t> integer(std::string_view key) const;
    std::optional<std::string> string(std::string_view key) const;
    std::optional<std::vector<std::string>> stringArray(std::string_view key) const;
    std::optional<Date> date(std::string_view key) const;
};

} // namespace vantorelle
