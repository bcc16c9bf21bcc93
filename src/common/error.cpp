// Rendering of errors as the texts a client or a log reader sees.
#include "common/error.hpp"

#include <string_view>

namespace orvanta {

namespace {

std::string_view trim_trailing_space(std::string_view text) {
  constexpr std::string_view trailing = "\t\n\f\r ";
  const auto end = text.find_last_not_of(trailing);
  return end == std::string_view::npos ? std::string_view{} : text.substr(0, end + 1);
}

}  // namespace

std::string render_os_error(std::uint32_t code, const SystemMessage& message) {
  std::string text;
  switch (message.outcome) {
    case SystemMessage::Outcome::Found:
      text = trim_trailing_space(message.text);
      break;
    case SystemMessage::Outcome::LookupFailed:
      text = "OS Error " + std::to_string(code) + " (FormatMessageW() returned error " +
             std::to_string(message.lookup_error) + ")";
      break;
    case SystemMessage::Outcome::InvalidUtf16:
      text = "OS Error " + std::to_string(code) + " (FormatMessageW() returned invalid UTF-16)";
      break;
  }
  return text + " (os error " + std::to_string(code) + ")";
}

std::string error_text(const Error& error) {
  if (!error.is_os()) {
    return error.fixed_message();
  }
  return render_os_error(error.os_code(), system_message(error.os_code()));
}

}  // namespace orvanta
