// The record's text read back as written, every other text refused, and the match rule at start.
#include "vpn/run_record.hpp"

#include <gtest/gtest.h>

#include <utility>

namespace orvanta {
namespace {

const RunRecord openvpn{{4242, 133000000000000000}, u"C:\\Program Files\\OpenVPN\\bin\\openvpn.exe", 420};

TEST(RunRecord, TextReadsBackAsWritten) {
  const std::pair<RunRecord, std::u16string> cases[] = {
      {openvpn, u"1 4242 133000000000000000 420 C:\\Program Files\\OpenVPN\\bin\\openvpn.exe"},
      {{{1, 0}, u"x", 0}, u"1 1 0 0 x"},
      {{{4294967295u, 18446744073709551615u}, u"  ", 18446744073709551615u},
       u"1 4294967295 18446744073709551615 18446744073709551615   "},
  };
  for (const auto& [record, text] : cases) {
    EXPECT_EQ(encode_run_record(record), text);
    EXPECT_EQ(decode_run_record(text), record);
  }
}

TEST(RunRecord, RefusesEveryOtherText) {
  for (const std::u16string_view text : {
           u"",
           u"1",
           u"2 4242 1 420 C:\\openvpn.exe",           // another version
           u"10 4242 1 420 C:\\openvpn.exe",          // another version with the same first digit
           u"1 4242 1 420 ",                          // no image
           u"1 4242 1 420",                           // nor its separator
           u"1 0 1 420 C:\\openvpn.exe",              // no process has id 0
           u"1 4294967296 1 420 C:\\openvpn.exe",     // past a 32-bit id
           u"1 4242 18446744073709551616 420 C:\\x",  // past 64 bits
           u"1 04242 1 420 C:\\openvpn.exe",          // a leading zero
           u"1 +4242 1 420 C:\\openvpn.exe",
           u"1 -1 1 420 C:\\openvpn.exe",
           u"1  4242 1 420 C:\\openvpn.exe",  // an empty field
           u"1 4242 1 0x1a4 C:\\openvpn.exe",
           u"1\t4242 1 420 C:\\openvpn.exe",
       }) {
    EXPECT_EQ(decode_run_record(text), std::nullopt) << std::string(text.begin(), text.end());
  }
}

TEST(RunRecord, AdoptsOnlyTheSameRunningProcess) {
  using Outcome = FoundProcess::Outcome;
  struct Case {
    const char* what;
    FoundProcess found;
    Adoption expected;
  };
  const Case cases[] = {
      {"the recorded OpenVPN", {Outcome::Running, openvpn.identity.created, openvpn.image}, Adoption::Adopt},
      {"an id passed on", {Outcome::Running, openvpn.identity.created + 1, openvpn.image}, Adoption::Clear},
      {"another program",
       {Outcome::Running, openvpn.identity.created, u"C:\\Windows\\notepad.exe"},
       Adoption::Clear},
      {"the image in other letters",
       {Outcome::Running, openvpn.identity.created, u"c:\\program files\\openvpn\\bin\\openvpn.exe"},
       Adoption::Clear},
      {"no such process, or ended", {Outcome::Gone, 0, u""}, Adoption::Clear},
      {"a query failed", {Outcome::Unknown, openvpn.identity.created, openvpn.image}, Adoption::Keep},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(judge_found(openvpn, c.found), c.expected) << c.what;
  }
}

}  // namespace
}  // namespace orvanta
