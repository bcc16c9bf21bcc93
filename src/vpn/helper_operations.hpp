// The requests a client can make, carried out on the OpenVPN record.
#pragma once

#include <memory>

#include "protocol/operations.hpp"
#include "vpn/helper_state.hpp"

namespace orvanta {

// Holds its own reference to the state, so that workers still serving a request after the service
// main has let go of the state keep it alive.
class HelperOperations final : public Operations {
 public:
  explicit HelperOperations(std::shared_ptr<HelperState> state) : state_(std::move(state)) {}

  HelperResponse connect(const Connect& request) override;
  // Stops whatever runs; the reply is the same whether or not anything did.
  HelperResponse disconnect() override;
  HelperResponse status() override;

 private:
  std::shared_ptr<HelperState> state_;
};

}  // namespace orvanta
