#pragma once
// Text-to-double conversion that does not depend on the host process's locale.

#include <string>

namespace korvel::quor_impl {

// std::stod as it behaves in the "C" locale: leading white space skipped, the longest
// numeric prefix read, std::invalid_argument("stod") when there is none and
// std::out_of_range("stod") when the value does not fit. std::stod itself follows the
// process's LC_NUMERIC, which a host program may set (GTK does, for one): under a locale with
// a decimal comma it reads the robot's "0.5" as 0.
double ClassicStod(const std::string& text);

}  // namespace korvel::quor_impl
