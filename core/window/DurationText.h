// DurationText: the three ways a duration is written for people.
#pragma once

#include <string>

#include "i18n/L.h"

namespace vantorelle::DurationText {

// Hours and minutes with abbreviated units, zero units left out: "3h", "1h 30m", "45m" in English,
// "3 h", "1 h 30 min", "45 min" in French. Seconds are dropped (59 s is "0m"); zero and negative
// values read "0m". A value that is not finite or does not fit a 64-bit count of seconds gives
// the empty string.
std::string longText(double seconds, Language language);

// "H:MM" for a narrow menu line, the fraction of a second dropped: 5400 is "1:30", 59 is "0:00".
// Negative, non-finite and out-of-range values are taken as 0.
std::string compact(double seconds);

// "H:MM:SS" for a running countdown, rounded up to the whole second: 59.2 is "0:01:00". Negative
// values give "0:00:00"; not-a-number, +infinity and values beyond a 64-bit count give "".
std::string clock(double seconds);

} // namespace vantorelle::DurationText
