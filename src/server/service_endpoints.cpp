// Opening the port and the pipe as the policy has them.
#include "server/service_endpoints.hpp"

#include <utility>
#include <vector>

#include "common/failure_log.hpp"
#include "server/listener.hpp"

namespace orvanta {

Result<ServiceEndpoints> open_service_endpoints(const policy::AccessPolicy& policy, EndpointPlaces places) {
  ServiceEndpoints endpoints;
  const policy::TcpEndpointPolicy tcp = places.read_tcp_endpoint();
  if (tcp.problem) {
    report_failure(Failure::TcpEndpointUnusable, "the TcpEndpoint policy value cannot be used", *tcp.problem);
  }
  if (tcp.listens) {
    auto listener = open_listener(places.port);
    if (!listener) {
      return std::unexpected(listener.error());  // open_listener has written its own line
    }
    endpoints.listener = std::move(*listener);
  }
  auto groups = std::make_shared<const std::vector<policy::Sid>>(policy.client_groups());
  auto pipe = PipeAcceptor::make(std::move(places.pipe_name), policy.pipe_audience(), std::move(groups),
                                 std::move(places.pipe_seams));
  if (!pipe) {
    report_failure(Failure::PipeCreate, "the pipe could not be created", error_text(pipe.error()));
    if (!endpoints.listener) {
      return std::unexpected(pipe.error());
    }
    return endpoints;
  }
  // A failure here has been reported; while the port serves, the accept loop tries again.
  if (auto listening = (*pipe)->listen(); !listening && !endpoints.listener) {
    return std::unexpected(listening.error());
  }
  endpoints.pipe = std::move(*pipe);
  return endpoints;
}

}  // namespace orvanta
