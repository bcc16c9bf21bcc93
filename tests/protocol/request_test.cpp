// Reading request texts: each case is the whole text and what parse_request makes of it.
#include "protocol/request.hpp"

#include <gtest/gtest.h>

#include <string>

namespace orvanta {
namespace {

// "Status", "State", "Disconnect", "Connect(openvpn|config|auth|log)" or "error: <text of the RequestError>".
std::string outcome(std::string_view text) {
  const auto result = parse_request(text);
  if (!result) {
    return "error: " + result.error().text();
  }
  if (const auto* connect = std::get_if<Connect>(&*result)) {
    return "Connect(" + connect->openvpn + "|" + connect->config + "|" + connect->auth + "|" + connect->log +
           ")";
  }
  return std::holds_alternative<Status>(*result)  ? "Status"
         : std::holds_alternative<State>(*result) ? "State"
                                                  : "Disconnect";
}

struct Case {
  std::string_view text;
  std::string_view expected;
};

void expect_outcomes(const std::vector<Case>& cases) {
  for (const auto& c : cases) {
    EXPECT_EQ(outcome(c.text), c.expected) << "request text: " << c.text;
  }
}

TEST(ParseRequest, ReadsTheDocumentedRequests) {
  expect_outcomes({
      {"", "error: EOF while parsing a value at line 1 column 0"},
      {R"({"cmd":"status"})", "Status"},
      {R"({"extra":1,"cmd":"disconnect"})", "Disconnect"},
      {R"({"cmd":"status","verbose":true,"x":[1,{"y":null}]})", "Status"},
      {R"({"cmd":"st\u0061tus"})", "Status"},
      {R"({"cmd":"connect","openvpn":"C:\\Program Files\\OpenVPN\\bin\\openvpn.exe","config":"C:\\vpn\\client.ovpn","auth":"C:\\vpn\\auth.txt","log":"C:\\vpn\\openvpn.log"})",
       R"(Connect(C:\Program Files\OpenVPN\bin\openvpn.exe|C:\vpn\client.ovpn|C:\vpn\auth.txt|C:\vpn\openvpn.log))"},
      {R"({"cmd":"connect","log":"d","auth":"c","config":"b","openvpn":"a","note":"x"})", "Connect(a|b|c|d)"},
      {R"(["connect","a","b","c","d"])", "Connect(a|b|c|d)"},
      {R"(["status"])", "Status"},
      {R"({"cmd":"state","token":"t"})", "State"},
      {R"(["state"])", "State"},
      {R"(["state",1])", "error: invalid length 1, expected 0 elements in sequence"},
      {"{}", "error: missing field `cmd` at line 1 column 2"},
      {"[]", "error: missing field `cmd` at line 1 column 2"},
      {R"({"op":"status"})", "error: missing field `cmd` at line 1 column 15"},
      {R"({"cmd":"Status"})",
       "error: unknown variant `Status`, expected one of `connect`, `disconnect`, `status`, `state` at line "
       "1 column "
       "15"},
      {R"({"cmd":"restart"})",
       "error: unknown variant `restart`, expected one of `connect`, `disconnect`, `status`, `state` at line "
       "1 column "
       "16"},
      {R"(["restart"])",
       "error: unknown variant `restart`, expected one of `connect`, `disconnect`, `status`, `state` at line "
       "1 column "
       "10"},
      {R"({"cmd":1})", "error: invalid type: integer `1`, expected variant identifier at line 1 column 8"},
      {R"({"cmd":null})", "error: invalid type: null, expected variant identifier at line 1 column 11"},
      {R"({"cmd":["status"]})",
       "error: invalid type: sequence, expected variant identifier at line 1 column 7"},
      {R"({"cmd":"status","cmd":"status"})", "error: duplicate field `cmd` at line 1 column 21"},
      {"42",
       "error: invalid type: integer `42`, expected internally tagged enum HelperRequest at line 1 column 2"},
      {"null", "error: invalid type: null, expected internally tagged enum HelperRequest at line 1 column 4"},
      {R"("status")",
       R"(error: invalid type: string "status", expected internally tagged enum HelperRequest at line 1 column 8)"},
      {R"({"cmd":"connect"})", "error: missing field `openvpn`"},
      {R"({"log":"d","cmd":"connect"})", "error: missing field `openvpn`"},
      {R"({"cmd":"connect","openvpn":"a","config":"b","auth":"c"})", "error: missing field `log`"},
      {R"({"cmd":"connect","openvpn":"a","config":"b","auth":"c","log":null})",
       "error: invalid type: null, expected a string"},
      {R"({"cmd":"connect","openvpn":1})", "error: invalid type: integer `1`, expected a string"},
      {R"({"cmd":"connect","openvpn":"a","openvpn":"b","config":"c","auth":"d","log":"e"})",
       "error: duplicate field `openvpn`"},
      {R"({"cmd":"connect","OpenVPN":"a","config":"b","auth":"c","log":"d"})",
       "error: missing field `openvpn`"},
      {R"({"cmd":"connect","openvpn":"","config":"","auth":"","log":""})", "Connect(|||)"},
      {R"(["connect","a","b","c"])",
       "error: invalid length 3, expected struct variant HelperRequest::Connect with 4 elements"},
      {R"(["connect","a","b","c","d","e"])", "error: invalid length 5, expected 4 elements in sequence"},
      {R"(["status",1])", "error: invalid length 1, expected 0 elements in sequence"},
      {R"({"cmd":"status"} x)", "error: trailing characters at line 1 column 18"},
      {R"({"cmd":"connect"} x)", "error: missing field `openvpn`"},
  });
}

TEST(ParseRequest, NestsDownToLevel127AnywhereInTheRequest) {
  const auto nested = [](std::string_view head, int levels, std::string_view tail) {
    return std::string(head) + std::string(static_cast<std::size_t>(levels), '[') +
           std::string(static_cast<std::size_t>(levels), ']') + std::string(tail);
  };
  EXPECT_EQ(outcome(nested(R"({"cmd":"status","x":)", 126, "}")), "Status");
  EXPECT_EQ(outcome(nested(R"({"cmd":"status","x":)", 127, "}")),
            "error: recursion limit exceeded at line 1 column 147");
  // The limit applies before the command is known, and to the array form's elements.
  EXPECT_EQ(outcome(nested(R"({"x":)", 127, "}")), "error: recursion limit exceeded at line 1 column 132");
  EXPECT_EQ(outcome(nested(R"(["status",)", 126, "]")),
            "error: invalid length 1, expected 0 elements in sequence");
  EXPECT_EQ(outcome(nested(R"(["status",)", 127, "]")),
            "error: recursion limit exceeded at line 1 column 137");
  // Objects count like arrays.
  std::string objects = R"({"cmd":"status")";
  for (int level = 2; level <= 128; ++level) {
    objects += R"(,"o":{"p":0)";
  }
  // 15 bytes of head, 126 whole levels of 11 bytes, then ,"o":{ for level 128.
  EXPECT_EQ(outcome(objects),
            "error: recursion limit exceeded at line 1 column " + std::to_string(15 + 126 * 11 + 6));
}

TEST(ParseRequest, PlacesFirstPhasePointsAfterWhiteSpaceAndBrackets) {
  expect_outcomes({
      {"  ", "error: EOF while parsing a value at line 1 column 2"},
      {"{ }", "error: missing field `cmd` at line 1 column 3"},
      {R"( {"cmd" : "restart" })",
       "error: unknown variant `restart`, expected one of `connect`, `disconnect`, `status`, `state` at line "
       "1 column "
       "19"},
      // A repeated "cmd" points past the white space after it and past a '}' that closes the object.
      {R"({"cmd":"status" , "cmd" })", "error: duplicate field `cmd` at line 1 column 25"},
      {R"({"cmd":"status","cmd"  :1})", "error: duplicate field `cmd` at line 1 column 23"},
      {R"({"a":1,"cmd":"status","cmd":2})", "error: duplicate field `cmd` at line 1 column 27"},
      {R"({"cmd":"status","c\u006dd":"status"})", "error: duplicate field `cmd` at line 1 column 26"},
      {R"({"c\u006dd":"status"})", "Status"},
      // Tags in the array form.
      {"[1]", "error: invalid type: integer `1`, expected variant identifier at line 1 column 2"},
      {"[true]", "error: invalid type: boolean `true`, expected variant identifier at line 1 column 5"},
      {R"([null,"x"])", "error: invalid type: null, expected variant identifier at line 1 column 5"},
      {R"([{"a":1}])", "error: invalid type: map, expected variant identifier at line 1 column 1"},
      {R"([ ["status"]])", "error: invalid type: sequence, expected variant identifier at line 1 column 2"},
      {R"({"cmd":{}})", "error: invalid type: map, expected variant identifier at line 1 column 7"},
      // Other top-level kinds.
      {"true",
       "error: invalid type: boolean `true`, expected internally tagged enum HelperRequest at line 1 column "
       "4"},
      {" -1.5 ",
       "error: invalid type: floating point `-1.5`, expected internally tagged enum HelperRequest at line 1 "
       "column 5"},
      {"42 x",
       "error: invalid type: integer `42`, expected internally tagged enum HelperRequest at line 1 column 2"},
      // Lines are counted when the text holds line feeds.
      {"{\n\"cmd\":1}", "error: invalid type: integer `1`, expected variant identifier at line 2 column 7"},
      {"{\"cmd\":\"status\"}\n x", "error: trailing characters at line 2 column 2"},
  });
}

TEST(ParseRequest, ReportsTheFirstFaultInReadingOrder) {
  expect_outcomes({
      // The tag is resolved as soon as it is read.
      {R"({"cmd":"restart",])",
       "error: unknown variant `restart`, expected one of `connect`, `disconnect`, `status`, `state` at line "
       "1 column "
       "16"},
      {R"({"cmd":7,"cmd":"status"})",
       "error: invalid type: integer `7`, expected variant identifier at line 1 column 8"},
      // Syntax faults come before second-phase faults, which come before trailing characters.
      {R"({"cmd":"connect","openvpn":1,)", "error: EOF while parsing an object at line 1 column 29"},
      {R"({"cmd":"connect","log":1} x)", "error: invalid type: integer `1`, expected a string"},
      {R"(["connect","a"] ])",
       "error: invalid length 1, expected struct variant HelperRequest::Connect with 4 elements"},
      {R"({"cmd":"status"})"
       "\t\r\n ",
       "Status"},
      {std::string_view("{\"cmd\":\"status\"}\0", 17), "error: trailing characters at line 1 column 17"},
      // Within the fields: a repeat before a wrong kind, member order decides.
      {R"({"cmd":"connect","openvpn":"a","openvpn":1})", "error: duplicate field `openvpn`"},
      {R"({"cmd":"connect","openvpn":1,"openvpn":"a"})",
       "error: invalid type: integer `1`, expected a string"},
      {R"({"cmd":"connect","openvpn":"a","config":"b","auth":"c","log":"d","auth":5})",
       "error: duplicate field `auth`"},
      {R"({"cmd":"connect","openvpn":"a","config":[],"auth":"c"})",
       "error: invalid type: sequence, expected a string"},
      {R"({"cmd":"connect","openvpn":"a","config":"b","auth":{},"log":"d"})",
       "error: invalid type: map, expected a string"},
      // The array form takes the elements in turn.
      {R"(["connect",1,"b","c","d"])", "error: invalid type: integer `1`, expected a string"},
      {R"(["connect","a","b","c",["d"]])", "error: invalid type: sequence, expected a string"},
      {R"(["connect"])",
       "error: invalid length 0, expected struct variant HelperRequest::Connect with 4 elements"},
      {R"(["disconnect",{}])", "error: invalid length 1, expected 0 elements in sequence"},
      {R"({"cmd":"disconnect","openvpn":5,"cmd2":[]})", "Disconnect"},
      {R"({"cmd":"status","x":0e309})", "Status"},
      {R"(["status",0e309e5])", "error: expected `,` or `]` at line 1 column 16"},
  });
}

TEST(ParseRequest, ClassifiesNumbersByLiteral) {
  const auto tag_error = [](std::string_view kind, int column) {
    return "error: invalid type: " + std::string(kind) + ", expected variant identifier at line 1 column " +
           std::to_string(column);
  };
  const struct {
    std::string text;
    std::string expected;
  } cases[] = {
      {R"({"cmd":0})", tag_error("integer `0`", 8)},
      {R"({"cmd":-0})", tag_error("floating point `-0.0`", 9)},
      {R"({"cmd":-0.0})", tag_error("floating point `-0.0`", 11)},
      {R"({"cmd":18446744073709551615})", tag_error("integer `18446744073709551615`", 27)},
      {R"({"cmd":18446744073709551616})", tag_error("floating point `1.8446744073709552e+19`", 27)},
      {R"({"cmd":-9223372036854775808})", tag_error("integer `-9223372036854775808`", 27)},
      {R"({"cmd":-9223372036854775809})", tag_error("floating point `-9.223372036854776e+18`", 27)},
      {R"({"cmd":1.5})", tag_error("floating point `1.5`", 10)},
      {R"({"cmd":2E0})", tag_error("floating point `2.0`", 10)},
      {R"({"cmd":0.1})", tag_error("floating point `0.1`", 10)},
      {R"({"cmd":1e15})", tag_error("floating point `1000000000000000.0`", 11)},
      {R"({"cmd":1e16})", tag_error("floating point `1e+16`", 11)},
      {R"({"cmd":-12345.678e-3})", tag_error("floating point `-12.345678`", 20)},
      {R"({"cmd":0.00001})", tag_error("floating point `0.00001`", 14)},
      {R"({"cmd":1.5e-7})", tag_error("floating point `1.5e-7`", 13)},
      {R"({"cmd":5e-324})", tag_error("floating point `5e-324`", 13)},
      {R"({"cmd":1.7976931348623157e308})", tag_error("floating point `1.7976931348623157e+308`", 29)},
      {R"({"cmd":1e-400})", tag_error("floating point `0.0`", 13)},
      {R"({"cmd":-1e-400})", tag_error("floating point `-0.0`", 14)},
      // A value in range reads as a number however its literal is written.
      {R"({"cmd":0e309})", tag_error("floating point `0.0`", 12)},
      {R"({"cmd":-0e999})", tag_error("floating point `-0.0`", 13)},
      {"{\"cmd\":1" + std::string(400, '0') + "e-390}", tag_error("floating point `10000000000.0`", 413)},
      {"{\"cmd\":0." + std::string(400, '0') + "1e309}", tag_error("floating point `1e-92`", 414)},
      // Beyond the range of a double, a number has no value: a syntax fault, just after its last digit.
      {R"({"cmd":1e400})", "error: number out of range at line 1 column 12"},
      {R"({"cmd":2e308})", "error: number out of range at line 1 column 12"},
      {"1e400", "error: number out of range at line 1 column 5"},
      {"1e4000", "error: number out of range at line 1 column 6"},
      {"1e40000", "error: number out of range at line 1 column 7"},
      {"{\"cmd\":1" + std::string(400, '0') + "}", "error: number out of range at line 1 column 408"},
      {R"(["status",1e400e5])", "error: number out of range at line 1 column 15"},
      // A literal whose digits run past the range breaks the grammar further on: that fault counts.
      {"{\"cmd\":1" + std::string(400, '0') + ".x}", "error: invalid number at line 1 column 410"},
      {"{\"cmd\":1" + std::string(400, '0') + "e}", "error: invalid number at line 1 column 410"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(outcome(c.text), c.expected) << c.text;
  }
}

TEST(ParseRequest, DescribesSyntaxFaultsAtTheOffendingByte) {
  expect_outcomes({
      {R"({"a":1 2})", "error: expected `,` or `}` at line 1 column 8"},
      {R"(["status" 1])", "error: expected `,` or `]` at line 1 column 11"},
      {R"({"cmd" "status"})", "error: expected `:` at line 1 column 8"},
      {"{1:2}", "error: key must be a string at line 1 column 2"},
      {R"({"cmd":"status",})", "error: trailing comma at line 1 column 17"},
      {R"(["status",])", "error: trailing comma at line 1 column 11"},
      {R"({"cmd":})", "error: expected value at line 1 column 8"},
      {"x", "error: expected value at line 1 column 1"},
      {"\xEF\xBB\xBF{\"cmd\":\"status\"}", "error: expected value at line 1 column 1"},
      {std::string_view("{\"cmd\":\0}", 9), "error: expected value at line 1 column 8"},
      {R"({"cmd":tru})", "error: expected `true` at line 1 column 11"},
      {R"([nul])", "error: expected `null` at line 1 column 5"},
      {R"({"cmd":-})", "error: invalid number at line 1 column 9"},
      {R"({"cmd":1.})", "error: invalid number at line 1 column 10"},
      {R"({"cmd":1e})", "error: invalid number at line 1 column 10"},
      {R"({"cmd":01})", "error: invalid number at line 1 column 9"},
      {"-00", "error: invalid number at line 1 column 3"},
      // The text ends early: the point is its end.
      {R"({"cmd":"status",)", "error: EOF while parsing an object at line 1 column 16"},
      {R"(["status")", "error: EOF while parsing a list at line 1 column 9"},
      {R"(["status",)", "error: EOF while parsing a value at line 1 column 10"},
      {R"({"cmd":"stat)", "error: EOF while parsing a string at line 1 column 12"},
      {R"({"cmd":nul)", "error: EOF while parsing a value at line 1 column 10"},
      {R"({"cmd":"a\)", "error: EOF while parsing a string at line 1 column 10"},
      {R"({"cmd")", "error: EOF while parsing an object at line 1 column 6"},
      // Inside strings.
      {R"({"cmd":"a\qb"})", "error: invalid escape at line 1 column 11"},
      {R"({"cmd":"\u12x4"})", "error: invalid escape at line 1 column 13"},
      {"{\"cmd\":\"a\tb\"}",
       "error: control character (\\u0000-\\u001F) found while parsing a string at line 1 column 10"},
      {"{\"cmd\":\"a\\\tb\"}", "error: invalid escape at line 1 column 11"},
      {"{\"cmd\":\"a\\\\\tb\"}",
       "error: control character (\\u0000-\\u001F) found while parsing a string at line 1 column 12"},
      {std::string_view("{\"cmd\":\"a\0\"}", 12),
       "error: control character (\\u0000-\\u001F) found while parsing a string at line 1 column 10"},
      {"{\"cmd\":\"\xFF\"}", "error: invalid UTF-8 in string at line 1 column 9"},
  });
}

TEST(ParseRequest, JoinsSurrogatePairsAndRejectsLoneSurrogates) {
  expect_outcomes({
      {R"(["connect","\ud83d\ude00","\u00e9","\u20AC",""])",
       "Connect(\xF0\x9F\x98\x80|\xC3\xA9|\xE2\x82\xAC|)"},
      {R"({"cmd":"\ud800"})", "error: lone leading surrogate in hex escape at line 1 column 15"},
      {R"({"cmd":"\ud800\u0041"})", "error: lone leading surrogate in hex escape at line 1 column 20"},
      {R"({"cmd":"\udc00"})", "error: lone trailing surrogate in hex escape at line 1 column 14"},
      {R"({"cmd":"\ud83d\ude00\udc00"})", "error: lone trailing surrogate in hex escape at line 1 column 26"},
      {R"({"\udc00":1})", "error: lone trailing surrogate in hex escape at line 1 column 8"},
      {R"({"cmd":"status","x":[{"y":"\udfff"}]})",
       "error: lone trailing surrogate in hex escape at line 1 column 33"},
      // Further left than what stops the reader later in the same string.
      {R"({"cmd":"\udc00)", "error: lone trailing surrogate in hex escape at line 1 column 14"},
      {R"({"cmd":"\udc00\q"})", "error: lone trailing surrogate in hex escape at line 1 column 14"},
      {R"({"cmd":"\\udc00"})",
       R"(error: unknown variant `\udc00`, expected one of `connect`, `disconnect`, `status`, `state` at line 1 column 16)"},
  });
}

TEST(ParseRequest, KeepsEveryDecodedByteOfAField) {
  const auto result = parse_request(
      R"({"cmd":"connect","openvpn":"a\u0000b","config":"\"q\"","auth":"\/","log":"\b\f\n\r\t"})");
  ASSERT_TRUE(result.has_value()) << result.error().text();
  const Connect expected{std::string("a\0b", 3), "\"q\"", "/", "\b\f\n\r\t"};
  EXPECT_EQ(std::get<Connect>(*result), expected);
}

TEST(ParseRequest, RendersTopLevelStringsWithEscapes) {
  expect_outcomes({
      {R"("a\u0000\tb\"\\")",
       R"(error: invalid type: string "a\0\tb\"\\", expected internally tagged enum HelperRequest at line 1 column 16)"},
      {"\"\\u001b\\u007f\\u0085\xC3\xA9\\r\\n/\"",
       "error: invalid type: string \"\\u{1b}\\u{7f}\\u{85}\xC3\xA9\\r\\n/\", expected internally tagged "
       "enum "
       "HelperRequest at line 1 column 27"},
  });
}

// The token member is read along with the rest; only a string given once counts as a token.
TEST(ReadClientRequest, TakesTheTokenOnlyWhenGivenOnceAsAString) {
  struct TokenCase {
    std::string_view text;
    std::optional<std::string> token;
    bool array_form = false;
  };
  const TokenCase cases[] = {
      {R"({"cmd":"status"})", std::nullopt},
      {R"({"cmd":"status","token":"abc"})", "abc"},
      {R"({"token":"\u0061bc","cmd":"connect","openvpn":"a","config":"b","auth":"c","log":"d"})", "abc"},
      {R"({"cmd":"status","token":"abc","token":"abc"})", std::nullopt},
      {R"({"cmd":"status","token":null,"token":"abc"})", std::nullopt},
      {R"({"cmd":"status","token":7})", std::nullopt},
      {R"({"cmd":"status","x":{"token":"abc"}})", std::nullopt},
      {R"({"cmd":"status","Token":"abc"})", std::nullopt},
      {R"(["status"])", std::nullopt, true},
  };
  for (const TokenCase& c : cases) {
    const auto request = read_client_request(c.text);
    ASSERT_TRUE(request.has_value()) << c.text;
    EXPECT_EQ(request->token, c.token) << c.text;
    EXPECT_EQ(request->array_form, c.array_form) << c.text;
    EXPECT_EQ(request->command, *parse_request(c.text)) << c.text;
  }
  // A token changes nothing about which error a request gets.
  EXPECT_EQ(read_client_request(R"({"token":"abc","cmd":"connect"})").error().text(),
            "missing field `openvpn`");
}

TEST(ParseRequest, ErrorPositionIsInTheFields) {
  const auto positioned = parse_request("{}");
  ASSERT_FALSE(positioned.has_value());
  EXPECT_EQ(positioned.error(), (RequestError{"missing field `cmd`", 1, 2}));
  const auto unpositioned = parse_request(R"({"cmd":"connect"})");
  ASSERT_FALSE(unpositioned.has_value());
  EXPECT_EQ(unpositioned.error(), (RequestError{"missing field `openvpn`", 0, 0}));
}

}  // namespace
}  // namespace orvanta
