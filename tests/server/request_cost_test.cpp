// What reading a request costs in memory, whatever its shape, and what running out of memory on the
// way does: it ends that request alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <span>
#include <string>
#include <vector>

#include "server/request_answer.hpp"
#include "support/allocation_meter.hpp"
#include "support/recording_operations.hpp"

namespace orvanta {
namespace {

using test::RecordingOperations;

constexpr std::size_t line_bytes = 390 * 1024;

std::string repeat(std::string_view unit, std::size_t bytes) {
  std::string text;
  while (text.size() + unit.size() <= bytes) {
    text += unit;
  }
  return text;
}

// The whole text, then the end of the stream, in receives of the size asked for.
Receive from_text(const std::string& text) {
  return [&text, at = std::size_t{0}](std::span<char> buffer) mutable -> Result<std::size_t> {
    const std::size_t n = std::min(buffer.size(), text.size() - at);
    std::copy_n(text.data() + at, n, buffer.data());
    at += n;
    return n;
  };
}

struct CostCase {
  const char* shape;
  std::string line;
  // Apart from the line, the one cost that may exceed it: the reply's message, which quotes a
  // top-level string with its control characters spelt out (\u{7f} for one byte).
  bool quotes_the_line = false;
};

TEST(RequestCost, ReadingAnyShapeCostsAboutThreeTimesTheLine) {
  const std::string z = "0";
  const std::vector<CostCase> cases = {
      {"tiny array values", "[\"status\"" + repeat(",0", line_bytes) + "]"},
      {"tiny values after a connect",
       "[\"connect\",\"a\",\"b\",\"c\",\"d\"" + repeat(",0", line_bytes) + "]"},
      {"many members", "{\"cmd\":\"status\"" + repeat(",\"a\":0", line_bytes) + "}"},
      {"many repeated fields", "{\"cmd\":\"connect\"" + repeat(",\"log\":1", line_bytes) + "}"},
      {"deep nesting, over and over",
       "{\"cmd\":\"status\",\"x\":[" +
           repeat(std::string(126, '[') + std::string(126, ']') + ",", line_bytes) + "0]}"},
      {"strings full of escapes", "{\"cmd\":\"connect\",\"openvpn\":\"" + repeat("\\u0041", line_bytes / 4) +
                                      "\",\"config\":\"" + repeat("\\n", line_bytes / 4) + "\",\"auth\":\"" +
                                      repeat("\\\"", line_bytes / 4) + "\",\"log\":\"x\"}"},
      {"one long field", "{\"cmd\":\"connect\",\"openvpn\":\"" + std::string(line_bytes, 'x') +
                             "\",\"config\":\"c\",\"auth\":\"a\",\"log\":\"l\"}"},
      {"a long unknown command", "{\"cmd\":\"" + std::string(line_bytes, 'x') + "\"}"},
      {"large literals", "[\"status\"" + repeat(",0e309", line_bytes) + "]"},
      {"one long literal",
       "[\"status\"," + std::string(line_bytes, '1') + "e-" + std::to_string(line_bytes) + "]"},
      {"a top-level string of DEL", "\"" + std::string(line_bytes, '\x7f') + "\"", true},
      {"a top-level string of escapes", "\"" + repeat("\\b", line_bytes) + "\"", true},
  };
  for (const CostCase& c : cases) {
    SCOPED_TRACE(c.shape);
    const std::string sent = c.line + "\n";
    RecordingOperations operations;
    const test::AllocationMeter meter;
    const HelperResponse reply = answer_request(from_text(sent), operations, 1 << 20);
    const std::size_t quoted = c.quotes_the_line ? reply.message.size() : 0;
    EXPECT_LE(meter.peak_bytes(), sent.size() * 13 / 4 + 2 * quoted) << reply.message.substr(0, 100);
  }
}

// Each allocation on the way fails in turn; every time, the reply is the ordinary one or
// "out of memory", and a connect is either carried out whole or not at all.
TEST(RequestCost, RunningOutOfMemoryEndsTheRequestAlone) {
  const std::string requests[] = {
      "{\"cmd\":\"status\"}\n",
      R"({"cmd":"connect","openvpn":"C:\\OpenVPN\\bin\\openvpn.exe","config":"c","auth":"a","log":"l"})"
      "\n",
      "{\"cmd\":\"restart\"," + std::string(20000, ' ') + "\"x\":1}\n",
  };
  const HelperResponse out_of_memory{false, "Failed to read request: out of memory", std::nullopt};
  for (const std::string& request : requests) {
    RecordingOperations reference;
    const HelperResponse ordinary = answer_request(from_text(request), reference, 1 << 20);
    bool reached_the_end = false;
    for (std::uint64_t fail_at = 1; !reached_the_end; ++fail_at) {
      SCOPED_TRACE(request.substr(0, 30) + " failing allocation " + std::to_string(fail_at));
      RecordingOperations operations;
      HelperResponse reply;
      {
        const test::FailingAllocation failing(fail_at);
        reply = answer_request(from_text(request), operations, 1 << 20);
        reached_the_end = !failing.failed();
      }
      if (reply == out_of_memory) {
        EXPECT_TRUE(operations.calls().empty() || operations.calls() == reference.calls());
      } else {
        EXPECT_EQ(reply, ordinary);
        EXPECT_EQ(operations.calls(), reference.calls());
      }
    }
  }
}

}  // namespace
}  // namespace orvanta
