// From the bytes received to the reply: each request reaches its operation, each failure its prefix.
#include "server/request_answer.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "scripted_stream.hpp"

namespace orvanta {
namespace {

using server_testing::ScriptedReceive;
using server_testing::Step;

// Records which operation ran; each answers with a reply that names it.
class RecordingOperations final : public Operations {
 public:
  HelperResponse connect(const Connect& request) override {
    calls.push_back("connect");
    connected = request;
    return {true, "connect ran", 42};
  }
  HelperResponse disconnect() override {
    calls.push_back("disconnect");
    return {true, "disconnect ran", std::nullopt};
  }
  HelperResponse status() override {
    calls.push_back("status");
    return {true, "status ran", std::nullopt};
  }

  std::vector<std::string> calls;
  std::optional<Connect> connected;
};

HelperResponse failure(std::string message) { return {false, std::move(message), std::nullopt}; }

struct AnswerCase {
  const char* name;
  std::vector<Step> script;
  HelperResponse expected;
  std::vector<std::string> calls;
};

TEST(AnswerRequest, CarriesOutTheRequestOrAnswersWhyNot) {
  const std::vector<AnswerCase> cases = {
      {"status", {std::string("{\"cmd\":\"status\"}\n")}, {true, "status ran", std::nullopt}, {"status"}},
      {"disconnect",
       {std::string("{\"cmd\":\"disconnect\"}\n")},
       {true, "disconnect ran", std::nullopt},
       {"disconnect"}},
      {"connect",
       {std::string(R"({"cmd":"connect","openvpn":"o","config":"c","auth":"a","log":"l"})")},
       {true, "connect ran", 42},
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
    EXPECT_EQ(operations.calls, c.calls);
  }
}

TEST(AnswerRequest, HandsTheFourConnectTextsOverUnchanged) {
  ScriptedReceive stream({std::string(
      R"({"cmd":"connect","openvpn":"C:\\Program Files\\OpenVPN\\bin\\openvpn.exe","config":"c \u00e9","auth":" a ","log":""})"
      "\n")});
  RecordingOperations operations;
  (void)answer_request(stream.receive(), operations, 1 << 20);
  ASSERT_TRUE(operations.connected.has_value());
  EXPECT_EQ(*operations.connected,
            (Connect{"C:\\Program Files\\OpenVPN\\bin\\openvpn.exe", "c \xC3\xA9", " a ", ""}));
}

}  // namespace
}  // namespace orvanta
