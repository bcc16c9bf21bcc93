// Which groups the administrator may name as readers of the client token: decided on the SID's text.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace orvanta::policy {

// Why a ClientGroups entry cannot be used ("which ..."), or nothing when it names a real group:
//   1. S-1-5-32-<rid>: a built-in local group, other than Users (545) and Guests (546).
//   2. S-1-5-21-<a>-<b>-<c>-<rid>: a group of a domain or of the computer, other than Domain Users
//      (513), Domain Guests (514) and Domain Computers (515).
//   3. Each number is decimal, without a leading zero, and fits in 32 bits.
// Everything else is refused, since a list of the SIDs that stand for (nearly) everybody is never
// complete: Everyone, Authenticated Users, S-1-5-113, capabilities, logon types, services, ...
//   S-1-5-32-556, S-1-5-21-1-2-3-1105 -> nothing;  S-1-5-32-545 -> stands for every account;
//   S-1-5-113, S-1-5-32-0556 -> not a group
[[nodiscard]] std::optional<std::string> client_group_refusal(std::u16string_view sid);

}  // namespace orvanta::policy
