// The administrator's policy applied to requests: who may command the service, and what a connect
// may launch with which files.
#pragma once

#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "pipe/pipe_access.hpp"
#include "pipe/pipe_admission.hpp"
#include "policy/client_token.hpp"
#include "policy/path_check.hpp"
#include "policy/policy_values.hpp"
#include "process/system_queries.hpp"
#include "protocol/request.hpp"
#include "protocol/response.hpp"

namespace orvanta::policy {

// Shared by every connection worker. With no policy set, it lets everything through unchanged.
class AccessPolicy {
 public:
  // The seams of the checks; the real registry, system and file opens when not given.
  struct Seams {
    std::function<PathPolicy()> read_paths = read_path_policy;
    std::shared_ptr<SystemQueries> system;
    std::shared_ptr<FileProbe> probe;
    std::u16string service_folder;  // where token\client.token goes; the executable's folder when empty
  };

  // Applies the client policy read when the service starts: when a token is required, it is issued
  // now. A client policy that cannot be applied is not ignored: every command is refused, with the
  // reason, which also goes to the log.
  AccessPolicy(const ClientPolicy& clients, Seams seams);
  explicit AccessPolicy(const ClientPolicy& clients) : AccessPolicy(clients, Seams{}) {}
  AccessPolicy(const AccessPolicy&) = delete;
  AccessPolicy& operator=(const AccessPolicy&) = delete;

  // The reply refusing a request before anything is done for it; nothing when it may go on. A pipe
  // caller's standing, as the system vouches for it, stands in for the token (pipe_admission); the
  // port's callers (null) are known to no one and are held to the token alone.
  [[nodiscard]] std::optional<HelperResponse> refusal(const ClientRequest& request,
                                                      const pipe::PipeCaller* caller = nullptr) const;
  // Whether refusal() needs the pipe caller's standing for this request: only while a token is
  // required or the client policy is unusable, and only for a request without the valid token. The pipe
  // asks the system only then, so that a request the port would carry out is never refused on the pipe
  // because that question failed.
  [[nodiscard]] bool asks_who_is_calling(const ClientRequest& request) const;
  // Who may open the pipe, under this policy.
  [[nodiscard]] pipe::PipeAudience pipe_audience() const;
  // The ClientGroups SIDs, for asking whether a pipe caller is a member; none when the policy is
  // unusable.
  [[nodiscard]] const std::vector<Sid>& client_groups() const { return groups_; }
  // A connect's paths against the path lists as they are now: what the launch may go on with, or
  // the reply refusing it.
  [[nodiscard]] std::expected<AllowedLaunch, HelperResponse> check_connect(const Connect& request) const;
  // Takes the token file away; the service does so when it stops. Requests still being read keep
  // being held against the token they had to carry.
  void withdraw_token();

 private:
  Seams seams_;
  std::optional<std::string> unusable_;  // every command is refused with it
  std::vector<std::u16string> group_names_;
  std::vector<Sid> groups_;
  std::optional<std::string> token_;  // every command must carry it
  std::optional<ClientTokenFile> token_file_;
};

}  // namespace orvanta::policy
