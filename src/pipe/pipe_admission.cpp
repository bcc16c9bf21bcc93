// The pipe caller's standing against the client policy.
#include "pipe/pipe_admission.hpp"

namespace orvanta::pipe {

PipeAdmission pipe_admission(CallerStanding standing, bool policy_usable, bool token_required) {
  const bool service_account =
      standing == CallerStanding::System || standing == CallerStanding::Administrator;
  if (!policy_usable) {
    return service_account ? PipeAdmission::Served : PipeAdmission::Refused;
  }
  if (token_required && !service_account && standing != CallerStanding::ClientGroupMember) {
    return PipeAdmission::NeedsToken;
  }
  return PipeAdmission::Served;
}

}  // namespace orvanta::pipe
