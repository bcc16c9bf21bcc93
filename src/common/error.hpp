// The one error type of the system: an operating-system code or a fixed message, shown as its error text.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <utility>
#include <variant>

namespace orvanta {

class Error {
 public:
  // A failure that the system reported with an error code (GetLastError, WSAGetLastError, ...).
  [[nodiscard]] static Error os(std::uint32_t code) { return Error(code); }
  // A failure described by a text of our own, such as "program not found".
  [[nodiscard]] static Error fixed(std::string message) { return Error(std::move(message)); }

  [[nodiscard]] bool is_os() const { return std::holds_alternative<std::uint32_t>(value_); }
  [[nodiscard]] std::uint32_t os_code() const { return std::get<std::uint32_t>(value_); }
  [[nodiscard]] const std::string& fixed_message() const { return std::get<std::string>(value_); }

  friend bool operator==(const Error&, const Error&) = default;

 private:
  explicit Error(std::uint32_t code) : value_(code) {}
  explicit Error(std::string message) : value_(std::move(message)) {}

  std::variant<std::uint32_t, std::string> value_;
};

template <class T>
using Result = std::expected<T, Error>;

// What the system's message lookup gave for a code: the message, or why there is none.
struct SystemMessage {
  enum class Outcome { Found, LookupFailed, InvalidUtf16 };
  Outcome outcome = Outcome::Found;
  std::string text;                // Found: the message as UTF-8, untrimmed
  std::uint32_t lookup_error = 0;  // LookupFailed: the lookup's own error code
};

// The error text of a system error from what the lookup gave:
//   Found "File not found.\r\n" for 2      -> "File not found. (os error 2)"
//   LookupFailed 317 for 10048             -> "OS Error 10048 (FormatMessageW() returned error 317) (os error
//   10048)"
[[nodiscard]] std::string render_os_error(std::uint32_t code, const SystemMessage& message);

// Asks the platform for the message of a code (FormatMessageW on Windows).
[[nodiscard]] SystemMessage system_message(std::uint32_t code);

// The error text by which an error is shown after a reply prefix or in a log line.
[[nodiscard]] std::string error_text(const Error& error);

}  // namespace orvanta
