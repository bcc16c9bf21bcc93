// The service's diagnostic lines on standard error.
#pragma once

#include <string>
#include <string_view>

namespace orvanta {

// "[orvanta-vpn-helper-windows] {description}: {detail}\n"
[[nodiscard]] std::string format_log_line(std::string_view description, std::string_view detail);

// Writes the line to standard error; dropped silently when the process has no standard error
// handle, which is the normal case for a service.
void log_line(std::string_view description, std::string_view detail);

}  // namespace orvanta
