// Formatting and writing of log lines.
#include "common/log.hpp"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace orvanta {

std::string format_log_line(std::string_view description, std::string_view detail) {
  std::string line = "[orvanta-vpn-helper-windows] ";
  line.append(description).append(": ").append(detail).push_back('\n');
  return line;
}

void log_line(std::string_view description, std::string_view detail) {
  const std::string line = format_log_line(description, detail);
#ifdef _WIN32
  const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  if (err == nullptr || err == INVALID_HANDLE_VALUE) {
    return;
  }
  std::size_t written = 0;
  while (written < line.size()) {
    DWORD n = 0;
    if (!WriteFile(err, line.data() + written, static_cast<DWORD>(line.size() - written), &n, nullptr) ||
        n == 0) {
      return;  // a log line that cannot be written is dropped; the run goes on
    }
    written += n;
  }
#else
  std::size_t written = 0;
  while (written < line.size()) {
    const ssize_t n = ::write(2, line.data() + written, line.size() - written);
    if (n <= 0) {
      return;
    }
    written += static_cast<std::size_t>(n);
  }
#endif
}

}  // namespace orvanta
