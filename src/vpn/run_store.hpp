// Where the OpenVPN record is kept so that it outlives the service's process: one text, or none, the
// values a newer service keeps beside it, and how the last OpenVPN ended.
#pragma once

#include <optional>
#include <string>

#include "common/error.hpp"

namespace orvanta {

// What version 2 of the record adds beside its text, which keeps its version-1 form so that an older
// service still adopts the OpenVPN it names. Neither is there in a version-1 record.
struct RunExtras {
  std::optional<std::u16string> log;         // the log that is read; empty when it is not read
  std::optional<std::u16string> exit_event;  // the name of OpenVPN's exit event
  friend bool operator==(const RunExtras&, const RunExtras&) = default;
};

// Called only by HelperState, under its store lock: one call at a time.
class RunStore {
 public:
  virtual ~RunStore() = default;
  // The stored text; nothing when no record is kept.
  [[nodiscard]] virtual Result<std::optional<std::u16string>> load() = 0;
  [[nodiscard]] virtual Result<RunExtras> load_extras() = 0;
  // The extras are written before the text and erased after it: a text is never seen without the
  // extras of its own OpenVPN.
  [[nodiscard]] virtual Result<void> save(const std::u16string& text, const RunExtras& extras) = 0;
  // Succeeds when no record is kept afterwards, also when there was none. The last exit stays.
  [[nodiscard]] virtual Result<void> erase() = 0;
  [[nodiscard]] virtual Result<std::optional<std::u16string>> load_last_exit() = 0;
  [[nodiscard]] virtual Result<void> save_last_exit(const std::u16string& text) = 0;
};

}  // namespace orvanta
