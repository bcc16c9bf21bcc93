// Readable failure output for results of the launch rules.
#pragma once

#include <ostream>
#include <string>

#include "common/error.hpp"
#include "common/utf16.hpp"

namespace orvanta {

inline void PrintTo(const Result<std::u16string>& result, std::ostream* out) {
  if (result) {
    *out << '"' << utf16_to_utf8(*result).value_or("<invalid UTF-16>") << '"';
  } else {
    *out << "error: " << error_text(result.error());
  }
}

inline void PrintTo(const Result<bool>& result, std::ostream* out) {
  if (result) {
    *out << (*result ? "true" : "false");
  } else {
    *out << "error: " << error_text(result.error());
  }
}

template <class T>
void PrintTo(const std::unexpected<T>& result, std::ostream* out) {
  *out << "error: " << error_text(result.error());
}

}  // namespace orvanta
