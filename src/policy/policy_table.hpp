// The administrator's policy values, in the one table that reading them, the texts that name them and
// the Group Policy templates' test all take from.
#pragma once

#include <array>
#include <string_view>

namespace orvanta::policy {

// Under HKEY_LOCAL_MACHINE, where Group Policy writes a computer's settings.
inline constexpr std::string_view policy_key = "SOFTWARE\\Policies\\Orvanta\\VpnHelper";

// How a value is stored, and so how a template must write it.
enum class PolicyType {
  MultiString,  // REG_MULTI_SZ: a list, one entry a string
  Switch,       // REG_DWORD: 1 on, 0 off; the policy's Enabled writes 1
  OffSwitch,    // REG_DWORD: 1 on, 0 off; the policy turns a thing off, so its Enabled writes 0
};

struct PolicyValue {
  std::string_view name;
  PolicyType type;
};

inline constexpr PolicyValue open_vpn_programs{"OpenVpnPrograms", PolicyType::MultiString};
inline constexpr PolicyValue config_directories{"ConfigDirectories", PolicyType::MultiString};
inline constexpr PolicyValue log_directories{"LogDirectories", PolicyType::MultiString};
inline constexpr PolicyValue require_client_token{"RequireClientToken", PolicyType::Switch};
inline constexpr PolicyValue client_groups{"ClientGroups", PolicyType::MultiString};
// Switched on (1) or absent, the loopback TCP endpoint listens; 0 turns it off.
inline constexpr PolicyValue tcp_endpoint{"TcpEndpoint", PolicyType::OffSwitch};

// Every value the service reads; a new one is added here and to the templates.
inline constexpr std::array all_policy_values = {open_vpn_programs,    config_directories, log_directories,
                                                 require_client_token, client_groups,      tcp_endpoint};

// The registry's name of the type: REG_MULTI_SZ, REG_DWORD.
[[nodiscard]] constexpr std::string_view registry_type(PolicyType type) {
  return type == PolicyType::MultiString ? "REG_MULTI_SZ" : "REG_DWORD";
}

// What a template's Enabled and Disabled write, for a switch: "1 0", "0 1"; empty for a list.
[[nodiscard]] constexpr std::string_view template_values(PolicyType type) {
  return type == PolicyType::Switch ? "1 0" : type == PolicyType::OffSwitch ? "0 1" : "";
}

}  // namespace orvanta::policy
