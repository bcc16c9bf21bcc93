// The requests a client can make, carried out on the OpenVPN record as the administrator's policy
// allows.
#pragma once

#include <memory>

#include "policy/access_policy.hpp"
#include "protocol/operations.hpp"
#include "vpn/connect_turns.hpp"
#include "vpn/helper_state.hpp"

namespace orvanta {

// Holds its own references, so that workers still serving a request after the service main has let
// go of the state keep it alive.
class HelperOperations final : public Operations {
 public:
  // Without a policy, nothing is refused.
  explicit HelperOperations(std::shared_ptr<HelperState> state,
                            std::shared_ptr<policy::AccessPolicy> policy = nullptr)
      : state_(std::move(state)),
        policy_(std::move(policy)),
        turns_([this](const Connect& request, const ConnectTurns::Superseded& superseded) {
          return launch(request, superseded);
        }) {}

  std::optional<HelperResponse> refusal(const ClientRequest& request,
                                        const pipe::PipeCaller* caller) override;
  // A connect the policy refuses launches nothing and stops nothing.
  HelperResponse connect(const Connect& request) override;
  // Stops whatever runs; the reply is the same whether or not anything did.
  HelperResponse disconnect() override;
  HelperResponse status() override;
  HelperResponse state() override;
  // In the order of their lines, the last one winning (ConnectTurns). The policy checks a connect
  // when its turn comes, not while it waits, and holds its program open only from then on.
  std::optional<HelperResponse> connect_in_turn(const Connect& request, const RequestTurn& turn) override;
  // Ends nothing when a connect read after it has come already.
  HelperResponse disconnect_in_turn(const RequestTurn& turn) override;
  bool asks_who_is_calling(const ClientRequest& request) override;

 private:
  // A connect whose turn has come: the stop and a later request overtake it, then the policy checks it.
  HelperResponse launch(const Connect& request, const ConnectTurns::Superseded& superseded);

  std::shared_ptr<HelperState> state_;
  std::shared_ptr<policy::AccessPolicy> policy_;
  ConnectTurns turns_;
};

}  // namespace orvanta
