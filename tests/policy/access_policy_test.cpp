// The policy applied to requests: who is refused before anything is done, and what the Event Log is
// told about it.
#include "policy/access_policy.hpp"

#include <gtest/gtest.h>

#include "common/utf16.hpp"
#include "support/files.hpp"
#include "support/recording_failures.hpp"

namespace orvanta::policy {
namespace {

HelperResponse not_allowed(const std::string& reason) {
  return {false, "Not allowed: " + reason, std::nullopt};
}

ClientRequest status(std::optional<std::string> token, bool array_form = false) {
  return ClientRequest{Status{}, array_form, std::move(token)};
}

const std::string unusable_reason =
    "the client policy cannot be used: ClientGroups holds S-1-5-113, which is not a built-in group "
    "(S-1-5-32-<rid>) or a domain or computer group (S-1-5-21-<a>-<b>-<c>-<rid>)";

// A refusal is a warning event with the reason and as much of the client's text as tells it apart;
// a path policy with some of its three lists is an error event of its own; a client policy that cannot
// be applied is an error event, once, and refuses every command.
TEST(AccessPolicy, TellsTheEventLogOfRefusalsAndOfAPolicyItCannotApply) {
  const test::ScopedFailureSink recorded;
  const PathList program{PathList::State::Listed, {u"C:\\OpenVPN\\bin\\openvpn.exe"}, {}};
  AccessPolicy::Seams seams;
  seams.read_paths = [&] {
    return PathPolicy{
        program, {PathList::State::Listed, {u"C:\\cfg"}, {}}, {PathList::State::Listed, {u"C:\\logs"}, {}}};
  };
  const AccessPolicy paths(ClientPolicy{}, seams);
  const std::string long_text = "C:\\" + std::string(300, 'x') + "\\openvpn.exe";
  const auto refused = paths.check_connect(Connect{long_text, "C:\\cfg\\a", "C:\\cfg\\b", "C:\\logs\\c"});
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error(), not_allowed("openvpn is not one of the programs in OpenVpnPrograms"));

  seams.read_paths = [&] { return PathPolicy{program, {}, {}}; };
  const AccessPolicy partial(ClientPolicy{}, seams);
  const std::string incomplete =
      "the policy is incomplete: ConfigDirectories and LogDirectories are not set (a lock-down needs all "
      "three of OpenVpnPrograms, ConfigDirectories and LogDirectories)";
  const auto refused_partly = partial.check_connect(Connect{"C:\\OpenVPN\\bin\\openvpn.exe", "a", "b", "c"});
  ASSERT_FALSE(refused_partly.has_value());
  EXPECT_EQ(refused_partly.error(), not_allowed(incomplete));

  const AccessPolicy broken(ClientPolicy{false, {u"S-1-5-113"}, std::nullopt}, seams);
  EXPECT_EQ(broken.refusal(status(std::nullopt)), not_allowed(unusable_reason));

  using Report = std::pair<Failure, std::string>;
  EXPECT_EQ(recorded.sink().reports(),
            (std::vector<Report>{
                {Failure::PolicyRefusal, "openvpn is not one of the programs in OpenVpnPrograms: \"" +
                                             long_text.substr(0, 200) + "...\""},
                {Failure::PolicyIncomplete, incomplete},
                {Failure::PolicyUnusable, unusable_reason},
            }));
}

// On the pipe, who the system vouches for stands in for the token; the port's callers (no caller) are
// held to the token alone. Refusals name the pipe caller's account and process id in the event, and the
// reply stays the port's. Without any client policy no request is refused.
TEST(AccessPolicy, APipeCallersStandingStandsInForTheTokenAndRefusalsNameTheCaller) {
  using enum pipe::CallerStanding;
  AccessPolicy::Seams seams;
  seams.read_paths = [] { return PathPolicy{}; };
  const test::ScratchDir folder;
  seams.service_folder = from_wide(folder.path());
  const AccessPolicy token_required(ClientPolicy{true, {}, std::nullopt}, seams);
  const AccessPolicy unusable(ClientPolicy{false, {u"S-1-5-113"}, std::nullopt}, seams);
  const AccessPolicy none(ClientPolicy{}, seams);
  const pipe::PipeCaller admin{Administrator, u"S-1-5-21-1-2-3-500", 7};
  const pipe::PipeCaller member{ClientGroupMember, u"S-1-5-21-1-2-3-1001", 8};
  const pipe::PipeCaller other{Other, u"S-1-5-21-1-2-3-1002", 9};
  const pipe::PipeCaller nobody{Unidentified, u"", std::nullopt};
  const std::string no_token = "the request carries no client token";
  struct Case {
    const char* name;
    const AccessPolicy& policy;
    const pipe::PipeCaller* caller;
    std::optional<HelperResponse> refusal;
    std::string event;  // the refusal's event detail, when there is one
    bool array_form = false;
  };
  const Case cases[] = {
      {"administrator, no token", token_required, &admin, std::nullopt, ""},
      {"ClientGroups member, no token", token_required, &member, std::nullopt, ""},
      {"other account, no token", token_required, &other, not_allowed(no_token),
       no_token + "; pipe client S-1-5-21-1-2-3-1002 (process 9)"},
      {"unidentified, no token", token_required, &nobody, not_allowed(no_token),
       no_token + "; an unidentified pipe client"},
      {"port, no token", token_required, nullptr, not_allowed(no_token), no_token},
      {"unusable policy, administrator", unusable, &admin, std::nullopt, ""},
      {"unusable policy, other account", unusable, &other, not_allowed(unusable_reason),
       unusable_reason + "; pipe client S-1-5-21-1-2-3-1002 (process 9)"},
      {"unusable policy, port", unusable, nullptr, not_allowed(unusable_reason), unusable_reason},
      {"no policy, the array form on the port", none, nullptr, std::nullopt, "", true},
  };
  using Reports = std::vector<std::pair<Failure, std::string>>;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const test::ScopedFailureSink fresh;  // a new sink holds nothing back under the rate limit
    EXPECT_EQ(c.policy.refusal(status(std::nullopt, c.array_form), c.caller), c.refusal);
    const Reports expected = c.event.empty() ? Reports{} : Reports{{Failure::PolicyRefusal, c.event}};
    EXPECT_EQ(fresh.sink().reports(), expected);
  }
  EXPECT_FALSE(unusable.pipe_audience().policy_usable);
  EXPECT_TRUE(token_required.pipe_audience().policy_usable);
}

}  // namespace
}  // namespace orvanta::policy
