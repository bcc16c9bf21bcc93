// The OpenVPN record in a volatile registry key under the service's own key.
#pragma once

#include "vpn/run_store.hpp"

namespace orvanta {

// HKLM\SYSTEM\CurrentControlSet\Services\OrvantaVpnHelper\Run, values OpenVpn, Log, ExitEvent and
// LastExit (REG_SZ). The key is volatile, so that a record outlives the process but not a restart of
// the system, and readable by SYSTEM and Administrators alone.
class RegistryRunStore final : public RunStore {
 public:
  [[nodiscard]] Result<std::optional<std::u16string>> load() override;
  [[nodiscard]] Result<RunExtras> load_extras() override;
  [[nodiscard]] Result<void> save(const std::u16string& text, const RunExtras& extras) override;
  [[nodiscard]] Result<void> erase() override;
  [[nodiscard]] Result<std::optional<std::u16string>> load_last_exit() override;
  [[nodiscard]] Result<void> save_last_exit(const std::u16string& text) override;
};

}  // namespace orvanta
