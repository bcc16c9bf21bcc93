// Who may open the service's pipe, and what a caller's standing admits, for each state of the client
// policy.
#include <gtest/gtest.h>

#include "pipe/pipe_access.hpp"
#include "pipe/pipe_admission.hpp"

namespace orvanta::pipe {
namespace {

constexpr std::uint32_t FA = 0x1F01FF;
constexpr std::uint32_t client = 0x12019B;

TEST(PipeAccess, ClientGroupsTakeAuthenticatedUsersPlaceAndAnUnusablePolicyLeavesOnlyTheService) {
  using enum PipeAccessEntry::Kind;
  const std::vector<PipeAccessEntry> service = {
      {Deny, u"S-1-5-2", FA}, {Allow, u"S-1-5-18", FA}, {Allow, u"S-1-5-32-544", FA}};
  struct Case {
    const char* name;
    PipeAudience audience;
    std::vector<PipeAccessEntry> clients;
  };
  const Case cases[] = {
      {"no client policy", {}, {{Allow, u"S-1-5-11", client}}},
      {"ClientGroups",
       {true, {u"S-1-5-32-556", u"S-1-5-21-1-2-3-1105"}},
       {{Allow, u"S-1-5-32-556", client}, {Allow, u"S-1-5-21-1-2-3-1105", client}}},
      {"unusable, no groups", {false, {}}, {}},
      {"unusable, with groups", {false, {u"S-1-5-32-556"}}, {}},
  };
  for (const Case& c : cases) {
    std::vector<PipeAccessEntry> expected = service;
    expected.insert(expected.end(), c.clients.begin(), c.clients.end());
    EXPECT_EQ(pipe_access_entries(c.audience), expected) << c.name;
  }
}

TEST(PipeAdmission, TheSystemsWordOnACallerStandsInForTheToken) {
  using enum CallerStanding;
  using enum PipeAdmission;
  struct Case {
    CallerStanding standing;
    PipeAdmission no_policy, token_required, unusable_policy;
  };
  const Case cases[] = {
      {System, Served, Served, Served},
      {Administrator, Served, Served, Served},
      {ClientGroupMember, Served, Served, Refused},
      {Other, Served, NeedsToken, Refused},
      {Unidentified, Served, NeedsToken, Refused},
  };
  for (const Case& c : cases) {
    const int row = static_cast<int>(c.standing);
    EXPECT_EQ(pipe_admission(c.standing, true, false), c.no_policy) << row;
    EXPECT_EQ(pipe_admission(c.standing, true, true), c.token_required) << row;
    EXPECT_EQ(pipe_admission(c.standing, false, true), c.unusable_policy) << row;
  }
}

}  // namespace
}  // namespace orvanta::pipe
