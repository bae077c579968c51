// DurationText: the three ways a duration is written for people.
#include "window/DurationText.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>

namespace vantorelle::DurationText {

namespace {

// 2^63: the first double that no longer fits a signed 64-bit integer.
constexpr double kInt64Limit = 9223372036854775808.0;

// Whole seconds (already rounded by the caller), or nothing when out of range or not a number.
std::optional<std::int64_t> wholeSeconds(double rounded)
{
    if (!(rounded > -kInt64Limit && rounded < kInt64Limit)) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(rounded);
}

} // namespace

std::string longText(double seconds, Language language)
{
    const auto total = wholeSeconds(std::trunc(seconds));
    if (!total) {
        return {};
    }
    const std::int64_t n = *total > 0 ? *total : 0;
    const std::string hours = std::to_string(n / 3600);
    const std::string minutes = std::to_string(n / 60 % 60);
    if (n >= 3600 && n / 60 % 60 != 0) {
        return i18n::format(i18n::text(language, "duration.hoursMinutes"), {hours, minutes});
    }
    if (n >= 3600) {
        return i18n::format(i18n::text(language, "duration.hours"), {hours});
    }
    return i18n::format(i18n::text(language, "duration.minutes"), {minutes});
}

std::string compact(double seconds)
{
    const std::int64_t n = std::max<std::int64_t>(wholeSeconds(std::trunc(seconds)).value_or(0), 0);
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%lld:%02lld", static_cast<long long>(n / 3600),
                  static_cast<long long>(n / 60 % 60));
    return buffer;
}

std::string clock(double seconds)
{
    const double up = std::ceil(seconds);
    if (up < 0) {
        return "0:00:00";
    }
    const auto total = wholeSeconds(up);
    if (!total) {
        return {};
    }
    const std::int64_t t = *total;
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%lld:%02lld:%02lld", static_cast<long long>(t / 3600),
                  static_cast<long long>(t / 60 % 60), static_cast<long long>(t % 60));
    return buffer;
}

} // namespace vantorelle::DurationText
