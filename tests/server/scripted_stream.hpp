// Stand-ins for a connection's receives and sends, played from a script.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/error.hpp"
#include "server/request_line.hpp"
#include "server/whole_write.hpp"

namespace orvanta::test {

// One step of a script: bytes that arrive (or are written), or a Winsock error code.
using Step = std::variant<std::string, std::uint32_t>;

// Delivers the scripted steps one per receive (bytes beyond the buffer stay for the next receive),
// then the end of the stream. Counts the receives and the bytes it delivered.
class ScriptedReceive {
 public:
  explicit ScriptedReceive(std::vector<Step> steps) : steps_(steps.begin(), steps.end()) {}

  Receive receive() {
    return [this](std::span<char> buffer) -> Result<std::size_t> {
      ++receives;
      buffer_sizes.push_back(buffer.size());
      if (steps_.empty()) {
        return 0;
      }
      if (const auto* code = std::get_if<std::uint32_t>(&steps_.front())) {
        const Error error = Error::os(*code);
        steps_.pop_front();
        return std::unexpected(error);
      }
      std::string& bytes = std::get<std::string>(steps_.front());
      const std::size_t n = std::min(bytes.size(), buffer.size());
      std::copy_n(bytes.begin(), n, buffer.begin());
      bytes.erase(0, n);
      if (bytes.empty()) {
        steps_.pop_front();
      }
      delivered += n;
      return n;
    };
  }

  int receives = 0;
  std::size_t delivered = 0;
  std::vector<std::size_t> buffer_sizes;

 private:
  std::deque<Step> steps_;
};

}  // namespace orvanta::test
