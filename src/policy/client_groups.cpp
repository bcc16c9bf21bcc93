// The shapes of the SIDs that name real groups.
#include "policy/client_groups.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

namespace orvanta::policy {

namespace {

// The parts between the hyphens, or nothing when a unit is not ASCII.
std::optional<std::vector<std::string>> parts_of(std::u16string_view sid) {
  std::vector<std::string> parts(1);
  for (const char16_t unit : sid) {
    if (unit >= 0x80) {
      return std::nullopt;
    }
    if (unit == u'-') {
      parts.emplace_back();
    } else {
      parts.back() += static_cast<char>(unit);
    }
  }
  return parts;
}

std::optional<std::uint32_t> number(const std::string& text) {
  if (text.empty() || text.size() > 10 || (text.size() > 1 && text[0] == '0')) {
    return std::nullopt;
  }
  std::uint64_t value = 0;
  for (const char digit : text) {
    if (digit < '0' || digit > '9') {
      return std::nullopt;
    }
    value = value * 10 + static_cast<std::uint64_t>(digit - '0');
  }
  if (value > UINT32_MAX) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

// Users, Guests; Pre-Windows 2000 Compatible Access (554), which on a domain controller may hold
// Authenticated Users or Everyone; IIS_IUSRS (568), which every web application pool's identity joins.
constexpr std::array<std::uint32_t, 4> builtin_everybody = {545, 546, 554, 568};
constexpr std::array<std::uint32_t, 3> domain_everybody = {513, 514, 515};  // Domain Users, Guests, Computers

}  // namespace

std::optional<std::string> client_group_refusal(std::u16string_view sid) {
  const std::string not_a_group =
      "which is not a built-in group (S-1-5-32-<rid>) or a domain or computer group "
      "(S-1-5-21-<a>-<b>-<c>-<rid>)";
  const auto parts = parts_of(sid);
  if (!parts || parts->size() < 5 || ((*parts)[0] != "S" && (*parts)[0] != "s") || (*parts)[1] != "1" ||
      (*parts)[2] != "5") {
    return not_a_group;
  }
  std::vector<std::uint32_t> numbers;
  for (std::size_t i = 3; i < parts->size(); ++i) {
    const auto value = number((*parts)[i]);
    if (!value) {
      return not_a_group;
    }
    numbers.push_back(*value);
  }
  const std::uint32_t rid = numbers.back();
  const bool builtin = numbers.size() == 2 && numbers[0] == 32;
  const bool domain = numbers.size() == 5 && numbers[0] == 21;
  if (!builtin && !domain) {
    return not_a_group;
  }
  const auto holds = [rid](const auto& rids) { return std::ranges::find(rids, rid) != rids.end(); };
  if ((builtin && holds(builtin_everybody)) || (domain && holds(domain_everybody))) {
    return "which stands for (nearly) every account";
  }
  return std::nullopt;
}

}  // namespace orvanta::policy
