// Reading the request line: where it ends, what the receive outcomes mean, the UTF-8 rule, the bound.
#include "server/request_line.hpp"

#include <gtest/gtest.h>

#include "scripted_stream.hpp"
#include "server/winsock_codes.hpp"

namespace orvanta {
namespace {

using test::ScriptedReceive;
using test::Step;

constexpr std::uint32_t connection_reset = 10054;
const Error invalid_utf8 = Error::fixed("stream did not contain valid UTF-8");

struct LineCase {
  const char* name;
  std::vector<Step> script;
  Result<std::string> expected;
  int receives;  // how many receives the reader may make
};

TEST(RequestLine, EndsAtTheFirstLineFeedOrTheEndOfTheStream) {
  const std::vector<LineCase> cases = {
      {"line feed ends the line", {std::string("{}\n{\"cmd\":1}\n")}, "{}\n", 1},
      {"end of stream without line feed", {std::string("{}")}, "{}", 2},
      {"nothing before the end", {}, "", 1},
      {"line over several receives", {std::string("{\"cmd\""), std::string(":1}\nrest")}, "{\"cmd\":1}\n", 2},
      {"interrupted receive repeated", {wsa_interrupted, std::string("{}\n")}, "{}\n", 2},
      {"shutdown counts as the end", {std::string("{}"), wsa_shutdown, std::string("late\n")}, "{}", 2},
      {"other failure ends the read",
       {std::string("{}"), connection_reset},
       std::unexpected(Error::os(connection_reset)),
       2},
      {"time-out ends the read", {wsa_timed_out}, std::unexpected(Error::os(wsa_timed_out)), 1},
      {"bytes that are not UTF-8", {std::string("{\"a\":\"\xff\"}\n")}, std::unexpected(invalid_utf8), 1},
      {"truncated character at the end", {std::string("{}\xc3")}, std::unexpected(invalid_utf8), 2},
      {"character split over receives",
       {std::string("\"\xc3"), std::string("\xa9\"\n")},
       "\"\xc3\xa9\"\n",
       2},
      {"I/O error reported over bad UTF-8",
       {std::string("\xff"), connection_reset},
       std::unexpected(Error::os(connection_reset)),
       2},
      {"bad bytes after the line feed", {std::string("{}\n\xff\xfe")}, "{}\n", 1},
      {"bad bytes in a later receive", {std::string("{}\n"), std::string("\xff")}, "{}\n", 1},
  };
  for (const LineCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedReceive stream(c.script);
    EXPECT_EQ(read_request_line(stream.receive(), 1024), c.expected);
    EXPECT_EQ(stream.receives, c.receives);
  }
}

TEST(RequestLine, AsksForTheWholeBufferEveryTime) {
  ScriptedReceive stream({std::string(20000, 'x') + "\n"});
  const auto line = read_request_line(stream.receive(), 1 << 20);
  ASSERT_TRUE(line.has_value());
  EXPECT_EQ(line->size(), 20001u);
  EXPECT_EQ(stream.buffer_sizes, (std::vector<std::size_t>{8192, 8192, 8192}));
}

TEST(RequestLine, AcceptsALineOfExactlyTheBound) {
  const std::vector<std::string> at_bound = {std::string(7, 'x') + "\n", std::string(8, 'x')};
  for (const std::string& text : at_bound) {
    ScriptedReceive stream({text});
    EXPECT_EQ(read_request_line(stream.receive(), 8), text);
  }
}

TEST(RequestLine, RefusesALineOverTheBound) {
  const Error too_long = Error::fixed("request line longer than 8 bytes");
  for (const std::string& text :
       {std::string(9, 'x'), std::string(8, 'x') + "\n", std::string(8, 'x') + "\xff"}) {
    ScriptedReceive stream({text});
    EXPECT_EQ(read_request_line(stream.receive(), 8), std::unexpected(too_long));
  }
}

// A client that sends without end must not make the reader hold more than the bound and one buffer.
TEST(RequestLine, StopsReadingAnEndlessLineAtTheBound) {
  std::size_t delivered = 0;
  const Receive endless = [&](std::span<char> buffer) -> Result<std::size_t> {
    std::fill(buffer.begin(), buffer.end(), 'x');
    delivered += buffer.size();
    return buffer.size();
  };
  const auto line = read_request_line(endless, 1 << 20);
  EXPECT_EQ(line, std::unexpected(Error::fixed("request line longer than 1048576 bytes")));
  EXPECT_LE(delivered, (1u << 20) + receive_buffer_bytes);
}

}  // namespace
}  // namespace orvanta
