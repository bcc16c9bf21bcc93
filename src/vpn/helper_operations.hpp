// The requests a client can make, carried out on the OpenVPN record as the administrator's policy
// allows.
#pragma once

#include <memory>

#include "policy/access_policy.hpp"
#include "protocol/operations.hpp"
#include "vpn/helper_state.hpp"

namespace orvanta {

// Holds its own references, so that workers still serving a request after the service main has let
// go of the state keep it alive.
class HelperOperations final : public Operations {
 public:
  // Without a policy, nothing is refused.
  explicit HelperOperations(std::shared_ptr<HelperState> state,
                            std::shared_ptr<policy::AccessPolicy> policy = nullptr)
      : state_(std::move(state)), policy_(std::move(policy)) {}

  std::optional<HelperResponse> refusal(const ClientRequest& request,
                                        const pipe::PipeCaller* caller) override;
  // A connect the policy refuses launches nothing and stops nothing.
  HelperResponse connect(const Connect& request) override;
  // Stops whatever runs; the reply is the same whether or not anything did.
  HelperResponse disconnect() override;
  HelperResponse status() override;
  HelperResponse state() override;

 private:
  std::shared_ptr<HelperState> state_;
  std::shared_ptr<policy::AccessPolicy> policy_;
};

}  // namespace orvanta
