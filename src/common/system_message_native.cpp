// Native (non-Windows) builds have no FormatMessageW: every lookup fails as "not implemented" (120),
// which renders through the same fallback form that Windows uses when it has no text for a code.
#include "common/error.hpp"

namespace orvanta {

SystemMessage system_message(std::uint32_t) {
  constexpr std::uint32_t call_not_implemented = 120;
  return {SystemMessage::Outcome::LookupFailed, {}, call_not_implemented};
}

}  // namespace orvanta
