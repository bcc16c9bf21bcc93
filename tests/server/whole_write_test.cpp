// Writing a whole buffer: partial sends, interruptions, the zero-byte rule, failures.
#include "server/whole_write.hpp"

#include <gtest/gtest.h>

#include <deque>

#include "server/winsock_codes.hpp"

namespace orvanta {
namespace {

// Each scripted step is how many bytes one send takes, or an error code.
struct ScriptedSend {
  std::deque<std::variant<std::size_t, std::uint32_t>> steps;
  std::string written;
  int sends = 0;

  Send send() {
    return [this](std::string_view bytes) -> Result<std::size_t> {
      ++sends;
      const auto step = steps.front();
      steps.pop_front();
      if (const auto* code = std::get_if<std::uint32_t>(&step)) {
        return std::unexpected(Error::os(*code));
      }
      const std::size_t n = std::min(std::get<std::size_t>(step), bytes.size());
      written.append(bytes.substr(0, n));
      return n;
    };
  }
};

struct WriteCase {
  const char* name;
  std::deque<std::variant<std::size_t, std::uint32_t>> steps;
  Result<void> expected;
  std::string written;
};

TEST(WholeWrite, SendsTheRemainderUntilDoneOrFailed) {
  const std::string reply = "{\"ok\":true}\n";
  const Result<void> done;
  const std::vector<WriteCase> cases = {
      {"one send", {std::size_t{100}}, done, reply},
      {"three partial sends", {std::size_t{5}, std::size_t{5}, std::size_t{5}}, done, reply},
      {"interrupted send repeated", {std::size_t{4}, wsa_interrupted, std::size_t{100}}, done, reply},
      {"zero bytes written",
       {std::size_t{4}, std::size_t{0}},
       std::unexpected(Error::fixed("failed to write whole buffer")),
       "{\"ok"},
      {"send failure", {std::size_t{4}, std::uint32_t{10054}}, std::unexpected(Error::os(10054)), "{\"ok"},
  };
  for (const WriteCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedSend sink{c.steps, {}, 0};
    EXPECT_EQ(write_whole_buffer(sink.send(), reply), c.expected);
    EXPECT_EQ(sink.written, c.written);
    EXPECT_TRUE(sink.steps.empty());
  }
}

TEST(WholeWrite, SendsNothingForAnEmptyBuffer) {
  ScriptedSend sink;
  EXPECT_TRUE(write_whole_buffer(sink.send(), "").has_value());
  EXPECT_EQ(sink.sends, 0);
}

}  // namespace
}  // namespace orvanta
