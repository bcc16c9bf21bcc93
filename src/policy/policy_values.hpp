// The administrator's policy as the registry holds it: HKLM\SOFTWARE\Policies\Orvanta\VpnHelper.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "policy/policy_table.hpp"

namespace orvanta::policy {

// One list of paths as it was found. A value that is there but cannot be used limits everything, so
// that a broken policy is never taken for none; while any of the three lists is there, one that is
// not allows nothing.
struct PathList {
  enum class State { Absent, Listed, Unusable };
  State state = State::Absent;
  std::vector<std::u16string> entries;  // Listed: as written, possibly none
  std::string problem;                  // Unusable: why, "it is not a REG_MULTI_SZ"
};

struct PathPolicy {
  PathList programs;  // OpenVpnPrograms: the only programs a connect may launch
  PathList configs;   // ConfigDirectories: where config and auth must be
  PathList logs;      // LogDirectories: where log must be (and never a file of the connection)
  [[nodiscard]] bool any() const {
    return programs.state != PathList::State::Absent || configs.state != PathList::State::Absent ||
           logs.state != PathList::State::Absent;
  }
};

// Read anew for every connect, so that a change applies from the next request on.
[[nodiscard]] PathPolicy read_path_policy();

// Who may command the service. Read once, when the service starts.
struct ClientPolicy {
  bool require_token = false;          // RequireClientToken = 1
  std::vector<std::u16string> groups;  // ClientGroups, SID strings as written
  // Set when either value cannot be used; every command is then refused with it.
  std::optional<std::string> problem;
};

[[nodiscard]] ClientPolicy read_client_policy();

// Whether the loopback TCP endpoint listens (TcpEndpoint: absent or 1 on, 0 off). Read once, when the
// service starts. A value that cannot be used keeps the port off, with the reason: a broken attempt to
// switch the port off must never leave it on.
struct TcpEndpointPolicy {
  bool listens = true;
  std::optional<std::string> problem;
};

[[nodiscard]] TcpEndpointPolicy read_tcp_endpoint_policy();

// The entries of a REG_MULTI_SZ value: its strings up to the empty one that ends the list.
[[nodiscard]] std::vector<std::u16string> multi_string_entries(std::u16string_view data);

}  // namespace orvanta::policy
