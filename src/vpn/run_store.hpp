// Where the OpenVPN record is kept so that it outlives the service's process: one text, or none.
#pragma once

#include <optional>
#include <string>

#include "common/error.hpp"

namespace orvanta {

// Called only by HelperState, under its store lock: one call at a time.
class RunStore {
 public:
  virtual ~RunStore() = default;
  // The stored text; nothing when no record is kept.
  [[nodiscard]] virtual Result<std::optional<std::u16string>> load() = 0;
  [[nodiscard]] virtual Result<void> save(const std::u16string& text) = 0;
  // Succeeds when no record is kept afterwards, also when there was none.
  [[nodiscard]] virtual Result<void> erase() = 0;
};

}  // namespace orvanta
