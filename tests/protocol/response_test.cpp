// The reply bytes: each field's form and the escapes inside the message.
#include "protocol/response.hpp"

#include <gtest/gtest.h>

namespace orvanta {
namespace {

TEST(EncodeResponse, WritesTheFixedDocumentForEachReply) {
  struct Case {
    HelperResponse response;
    std::string_view expected;
  } cases[] = {
      {{true, "stopped", std::nullopt}, "{\"ok\":true,\"message\":\"stopped\",\"pid\":null}\n"},
      {{true, "running", 4242}, "{\"ok\":true,\"message\":\"running\",\"pid\":4242}\n"},
      {{true, "OpenVPN started", 4242}, "{\"ok\":true,\"message\":\"OpenVPN started\",\"pid\":4242}\n"},
      {{true, "OpenVPN stopped", std::nullopt},
       "{\"ok\":true,\"message\":\"OpenVPN stopped\",\"pid\":null}\n"},
      {{false, "Invalid request JSON: missing field `log`", std::nullopt},
       "{\"ok\":false,\"message\":\"Invalid request JSON: missing field `log`\",\"pid\":null}\n"},
      {{false,
        "Invalid request JSON: invalid type: string \"status\", expected internally tagged enum "
        "HelperRequest at "
        "line 1 column 8",
        std::nullopt},
       R"({"ok":false,"message":"Invalid request JSON: invalid type: string \"status\", expected internally tagged enum HelperRequest at line 1 column 8","pid":null})"
       "\n"},
      {{true, "", 0}, "{\"ok\":true,\"message\":\"\",\"pid\":0}\n"},
      {{false, "x", 4294967295u}, "{\"ok\":false,\"message\":\"x\",\"pid\":4294967295}\n"},
      {{true, "connected", 4242,
        StateReport{"connected", "2026-12-11T11:51:15Z", std::nullopt, std::nullopt}},
       R"({"ok":true,"message":"connected","pid":4242,"phase":"connected","since":"2026-12-11T11:51:15Z","reason":null,"last_exit":null})"
       "\n"},
      {{true, "stopped", std::nullopt,
        StateReport{"stopped", "2026-12-11T11:52:02Z", std::nullopt,
                    ExitReport{4242, "2026-12-11T11:52:02Z", 3221225477u, "crashed", "a \"b\"\n"}}},
       R"({"ok":true,"message":"stopped","pid":null,"phase":"stopped","since":"2026-12-11T11:52:02Z","reason":null,"last_exit":{"pid":4242,"at":"2026-12-11T11:52:02Z","code":3221225477,"cause":"crashed","detail":"a \"b\"\n"}})"
       "\n"},
      {{true, "reconnecting", 7,
        StateReport{"reconnecting", "x", "tls-error",
                    ExitReport{1, "y", std::nullopt, "stopped", std::nullopt}}},
       R"({"ok":true,"message":"reconnecting","pid":7,"phase":"reconnecting","since":"x","reason":"tls-error","last_exit":{"pid":1,"at":"y","code":null,"cause":"stopped","detail":null}})"
       "\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(encode_response(c.response), c.expected) << c.response.message;
  }
}

TEST(EncodeResponse, EscapesOnlyQuotesBackslashesAndControlBytes) {
  struct Case {
    std::string message;
    std::string_view written;
  } cases[] = {
      {"tab\there\x1b", R"("tab\there\u001b")"},
      {"\"q\" \\b\\", R"("\"q\" \\b\\")"},
      {"\b\f\n\r", R"("\b\f\n\r")"},
      {std::string("\x00\x01\x1f", 3), R"("\u0000\u0001\u001f")"},
      {"/ \x7f \xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\"/ \x7f \xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
  };
  for (const auto& c : cases) {
    const std::string expected = "{\"ok\":true,\"message\":" + std::string(c.written) + ",\"pid\":null}\n";
    EXPECT_EQ(encode_response({true, c.message, std::nullopt}), expected) << c.written;
    // The server sends a reply in pieces; an escape that falls across a piece's end stays whole.
    const HelperResponse response{true, c.message, std::nullopt};
    for (const std::size_t piece_bytes : {1, 2, 5}) {
      std::string pieced;
      EXPECT_TRUE(write_response(response, piece_bytes, [&](std::string_view piece) {
        pieced += piece;
        return true;
      }));
      EXPECT_EQ(pieced, expected) << c.written << " in pieces of " << piece_bytes;
    }
  }
}

}  // namespace
}  // namespace orvanta
