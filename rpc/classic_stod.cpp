#include "rpc/classic_stod.hpp"

#include <locale.h>
#include <stdlib.h>

#include <cerrno>
#include <stdexcept>

namespace korvel::quor_impl {
namespace {

locale_t CLocale() {
  // Created once and kept for the life of the process.
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return c_locale;
}

}  // namespace

double ClassicStod(const std::string& text) {
  const locale_t c_locale = CLocale();
  if (c_locale == static_cast<locale_t>(nullptr)) {
    return std::stod(text);  // no C locale object to be had: the process locale is all there is
  }
  const char* begin = text.c_str();
  char* end = nullptr;
  const int saved_errno = errno;
  errno = 0;
  const double value = strtod_l(begin, &end, c_locale);
  const int conversion_errno = errno;
  errno = saved_errno;
  if (end == begin) {
    throw std::invalid_argument("stod");
  }
  if (conversion_errno == ERANGE) {
    throw std::out_of_range("stod");
  }
  return value;
}

}  // namespace korvel::quor_impl
