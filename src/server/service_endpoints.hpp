// The endpoints the service opens at its start: the port, unless the policy turns it off, and the pipe.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "common/error.hpp"
#include "common/handle.hpp"
#include "pipe/pipe_instance.hpp"
#include "policy/access_policy.hpp"
#include "policy/policy_values.hpp"
#include "server/endpoint.hpp"
#include "server/pipe_acceptor.hpp"

namespace orvanta {

struct ServiceEndpoints {
  UniqueSocket listener;               // none when the port is off
  std::unique_ptr<PipeAcceptor> pipe;  // none only when its security could not be made
};

// Where they are; the service's own unless a test says otherwise.
struct EndpointPlaces {
  Endpoint port = service_endpoint();
  std::u16string pipe_name = std::u16string(pipe::service_pipe_name);
  pipe::PipeEndpoint::Seams pipe_seams;
  std::function<policy::TcpEndpointPolicy()> read_tcp_endpoint = policy::read_tcp_endpoint_policy;
};

// Opens them, in this order:
//   1. TcpEndpoint: 0 leaves the port off; absent or 1 opens it; anything else leaves it off and is
//      reported ("the TcpEndpoint policy value cannot be used"), since a broken attempt to turn the
//      port off must not leave it on.
//   2. The pipe, secured for the client policy. A first instance that cannot be created (another
//      process holds the name) is reported ("the pipe could not be created") and tried again every
//      few seconds by the accept loop, as long as the port serves.
// The error, with nothing left open, when nothing could serve: the port's, or with the port off the
// pipe's, so that the service reports stopped with it as for a taken port.
[[nodiscard]] Result<ServiceEndpoints> open_service_endpoints(const policy::AccessPolicy& policy,
                                                              EndpointPlaces places = {});

}  // namespace orvanta
