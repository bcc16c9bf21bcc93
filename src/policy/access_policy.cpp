// Refusing what the administrator's policy does not allow, and telling the Event Log.
#include "policy/access_policy.hpp"

#include "common/failure_log.hpp"
#include "common/utf16.hpp"
#include "process/windows_system_queries.hpp"
#include "protocol/replies.hpp"
#include "policy/token_text.hpp"

namespace orvanta::policy {

namespace {

// Enough of a client's text to recognise it by in the Event Log, and no more: the log must not be
// filled by what clients send.
constexpr std::size_t shown_client_bytes = 200;

std::string shown(std::string_view text) {
  if (text.size() <= shown_client_bytes) {
    return std::string(text);
  }
  std::size_t cut = shown_client_bytes;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0u) == 0x80u) {
    --cut;  // not inside a character
  }
  return std::string(text.substr(0, cut)) + "...";
}

// A pipe caller is named in the event by its account and, as a hint only, its process id.
std::string caller_text(const pipe::PipeCaller& caller) {
  std::string text = caller.account.empty() ? "an unidentified pipe client"
                                            : "pipe client " + utf16_to_utf8(caller.account).value_or("?");
  if (caller.process_id) {
    text += " (process " + std::to_string(*caller.process_id) + ")";
  }
  return text;
}

HelperResponse refuse(const std::string& reason, std::string_view client_text = {},
                      const pipe::PipeCaller* caller = nullptr) {
  std::string detail = client_text.empty() ? reason : reason + ": \"" + shown(client_text) + "\"";
  if (caller != nullptr) {
    detail += "; " + caller_text(*caller);
  }
  report_failure(Failure::PolicyRefusal, "refused a request", detail);
  return replies::not_allowed(reason);
}

std::string_view field_text(const Connect& request, std::string_view field) {
  if (field == "openvpn") {
    return request.openvpn;
  }
  if (field == "config") {
    return request.config;
  }
  if (field == "auth") {
    return request.auth;
  }
  if (field == "log") {
    return request.log;
  }
  return {};
}

}  // namespace

AccessPolicy::AccessPolicy(const ClientPolicy& clients, Seams seams) : seams_(std::move(seams)) {
  if (!seams_.system) {
    seams_.system = std::make_shared<WindowsSystemQueries>();
  }
  if (!seams_.probe) {
    seams_.probe = std::make_shared<WindowsFileProbe>();
  }
  auto readers = client_group_sids(clients.groups);
  if (clients.problem) {
    unusable_ = "the client policy cannot be used: " + *clients.problem;
  } else if (!readers) {
    unusable_ = "the client policy cannot be used: " + readers.error();
  } else {
    group_names_ = clients.groups;
    groups_ = std::move(*readers);
  }
  if (!unusable_ && clients.require_token) {
    auto issued = ClientTokenFile::issue(groups_, seams_.service_folder);
    if (!issued) {
      unusable_ = "the client token could not be issued: " + error_text(issued.error());
    } else {
      if (const auto& kept = issued->kept()) {
        report_failure(Failure::TokenKept, "kept the client token", error_text(*kept));
      }
      token_ = issued->token();
      token_file_.emplace(std::move(*issued));
    }
  }
  if (unusable_) {
    report_failure(Failure::PolicyUnusable, "the administrator's policy cannot be applied", *unusable_);
  }
}

std::optional<HelperResponse> AccessPolicy::refusal(const ClientRequest& request,
                                                    const pipe::PipeCaller* caller) const {
  // The event says who was refused on the pipe; the reply stays the port's, word for word.
  const auto refuse_caller = [&](const std::string& reason) {
    return caller == nullptr ? refuse(reason) : refuse(reason, {}, caller);
  };
  if (caller != nullptr) {
    switch (pipe::pipe_admission(caller->standing, !unusable_, token_.has_value())) {
      case pipe::PipeAdmission::Served:
        return std::nullopt;
      case pipe::PipeAdmission::Refused:
        return refuse_caller(unusable_.value_or("the client policy cannot be used"));
      case pipe::PipeAdmission::NeedsToken:
        break;
    }
  } else if (unusable_) {
    return refuse(*unusable_);
  }
  if (!token_) {
    return std::nullopt;
  }
  if (request.array_form) {
    return refuse_caller("the array form carries no client token");
  }
  if (!request.token) {
    return refuse_caller("the request carries no client token");
  }
  if (!same_token(*request.token, *token_)) {
    return refuse_caller("the client token is not the service's");
  }
  return std::nullopt;
}

bool AccessPolicy::asks_who_is_calling(const ClientRequest& request) const {
  if (unusable_) {
    return true;
  }
  return token_ && (request.array_form || !request.token || !same_token(*request.token, *token_));
}

pipe::PipeAudience AccessPolicy::pipe_audience() const { return {!unusable_, group_names_}; }

std::expected<AllowedLaunch, HelperResponse> AccessPolicy::check_connect(const Connect& request) const {
  auto allowed = check_connect_paths(request, seams_.read_paths(), *seams_.system, *seams_.probe);
  if (!allowed && allowed.error().incomplete) {
    // The administrator's fault rather than the client's: an error, of its own kind.
    report_failure(Failure::PolicyIncomplete, "refused a connect", allowed.error().reason);
    return std::unexpected(replies::not_allowed(allowed.error().reason));
  }
  if (!allowed) {
    return std::unexpected(refuse(allowed.error().reason, field_text(request, allowed.error().field)));
  }
  return std::move(*allowed);
}

void AccessPolicy::withdraw_token() { token_file_.reset(); }

}  // namespace orvanta::policy
