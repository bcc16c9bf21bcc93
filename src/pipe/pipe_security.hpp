// The security descriptor every instance of the service's pipe is created with.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "pipe/pipe_access.hpp"
#include "policy/client_token.hpp"

namespace orvanta::pipe {

// Made from SIDs, never by pasting text into SDDL: the owner is Administrators, set explicitly rather
// than left to whatever the creating token's default owner is, and the DACL holds the entries in their
// order, protected so that nothing is inherited into it.
class PipeSecurity {
 public:
  [[nodiscard]] static Result<PipeSecurity> make(const std::vector<PipeAccessEntry>& entries);
  PipeSecurity(PipeSecurity&&) noexcept = default;
  PipeSecurity& operator=(PipeSecurity&&) noexcept = default;

  // The system reads the descriptor through a non-const pointer; it is not changed.
  [[nodiscard]] PSECURITY_DESCRIPTOR descriptor() const { return descriptor_.get(); }

 private:
  PipeSecurity() = default;
  // Each on the heap, so that the pointers the descriptor holds into the SID and the ACL stay valid
  // when the owner moves.
  std::unique_ptr<SECURITY_DESCRIPTOR> descriptor_;
  std::unique_ptr<policy::Sid> owner_;
  std::unique_ptr<std::byte[]> acl_;
};

// A handle's owner and DACL as SDDL, as the system reads them back: O:BAD:P(A;;FA;;;SY)...
[[nodiscard]] Result<std::u16string> handle_security_sddl(HANDLE object);

}  // namespace orvanta::pipe
