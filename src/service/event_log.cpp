// Writing events with ReportEventW.
#include "service/event_log.hpp"

#include <string>

#include "common/utf16.hpp"
#include "messages.h"

namespace orvanta {

EventIdentity event_identity(Failure kind) {
  switch (kind) {
    case Failure::Dispatcher:
      return {MSG_DISPATCHER_FAILED};
    case Failure::Registration:
      return {MSG_REGISTRATION_FAILED};
    case Failure::StatusReport:
      return {MSG_STATUS_REPORT_FAILED};
    case Failure::Winsock:
      return {MSG_WINSOCK_FAILED};
    case Failure::Bind:
      return {MSG_BIND_FAILED};
    case Failure::ListenerMode:
      return {MSG_LISTENER_MODE_FAILED};
    case Failure::WorkerStart:
      return {MSG_WORKER_START_FAILED};
    case Failure::PolicyRefusal:
      return {MSG_POLICY_REFUSAL, EVENTLOG_WARNING_TYPE};
    case Failure::PolicyUnusable:
      return {MSG_POLICY_UNUSABLE};
    case Failure::PolicyIncomplete:
      return {MSG_POLICY_INCOMPLETE};
    case Failure::RunRecord:
      return {MSG_RUN_RECORD_FAILED};
    case Failure::PipeCreate:
      return {MSG_PIPE_CREATE_FAILED};
    case Failure::TcpEndpointUnusable:
      return {MSG_TCP_ENDPOINT_UNUSABLE};
    case Failure::TokenKept:
      return {MSG_TOKEN_KEPT, EVENTLOG_WARNING_TYPE};
  }
  return {MSG_WORKER_START_FAILED};
}

EventLogSink::EventLogSink() : source_(RegisterEventSourceW(nullptr, L"OrvantaVpnHelper")) {}

void EventLogSink::report(Failure kind, std::string_view detail) {
  if (!source_) {
    return;  // no event log to write to; the log line has been written all the same
  }
  const EventIdentity identity = event_identity(kind);
  const std::wstring text = to_wide(detail);
  LPCWSTR strings[] = {text.c_str()};
  // A failure to write an event cannot be reported anywhere else.
  (void)ReportEventW(source_.get(), identity.type, 0, identity.message_id, nullptr, 1, 0, strings, nullptr);
}

}  // namespace orvanta
