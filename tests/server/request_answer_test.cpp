// From the bytes received to the reply: each request reaches its operation, each failure its prefix.
#include "server/request_answer.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "scripted_stream.hpp"
#include "support/recording_operations.hpp"

namespace orvanta {
namespace {

using test::RecordingOperations;
using test::ScriptedReceive;
using test::Step;

HelperResponse failure(std::string message) { return {false, std::move(message), std::nullopt}; }

struct AnswerCase {
  const char* name;
  std::vector<Step> script;
  HelperResponse expected;
  std::vector<std::string> calls;
};

TEST(AnswerRequest, CarriesOutTheRequestOrAnswersWhyNot) {
  const std::vector<AnswerCase> cases = {
      {"status", {std::string("{\"cmd\":\"status\"}\n")}, {true, "stopped", std::nullopt}, {"status"}},
      {"disconnect",
       {std::string("{\"cmd\":\"disconnect\"}\n")},
       {true, "OpenVPN stopped", std::nullopt},
       {"disconnect"}},
      {"connect",
       {std::string(R"({"cmd":"connect","openvpn":"o","config":"c","auth":"a","log":"l"})")},
       {true, "OpenVPN started", 4242},
       {"connect"}},
      {"nothing sent", {}, failure("Invalid request JSON: EOF while parsing a value at line 1 column 0"), {}},
      {"only white space",
       {std::string(" \t\r\n")},
       failure("Invalid request JSON: EOF while parsing a value at line 1 column 0"),
       {}},
      {"receive failure",
       {std::string("{\"cmd\""), std::uint32_t{10054}},
       failure("Failed to read request: " + error_text(Error::os(10054))),
       {}},
  };
  for (const AnswerCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedReceive stream(c.script);
    RecordingOperations operations;
    EXPECT_EQ(answer_request(stream.receive(), operations, 1 << 20), c.expected);
    EXPECT_EQ(operations.calls(), c.calls);
  }
}

TEST(AnswerRequest, HandsTheFourConnectTextsOverUnchanged) {
  ScriptedReceive stream({std::string(
      R"({"cmd":"connect","openvpn":"C:\\Program Files\\OpenVPN\\bin\\openvpn.exe","config":"c \u00e9","auth":" a ","log":""})"
      "\n")});
  RecordingOperations operations;
  (void)answer_request(stream.receive(), operations, 1 << 20);
  ASSERT_TRUE(operations.last_connect().has_value());
  EXPECT_EQ(*operations.last_connect(),
            (Connect{"C:\\Program Files\\OpenVPN\\bin\\openvpn.exe", "c \xC3\xA9", " a ", ""}));
}

}  // namespace
}  // namespace orvanta
