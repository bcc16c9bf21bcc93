// Failure reports as events in the Application log, under the source OrvantaVpnHelper.
#pragma once

#include <windows.h>

#include <string_view>

#include "common/failure_log.hpp"
#include "common/handle.hpp"

namespace orvanta {

// The message of an event in the executable's message table, and the event's type.
struct EventIdentity {
  DWORD message_id = 0;
  WORD type = EVENTLOG_ERROR_TYPE;
};
[[nodiscard]] EventIdentity event_identity(Failure kind);

class EventLogSink final : public FailureSink {
 public:
  // Registers the event source. Events are written even where the source's registry key is missing;
  // the Event Viewer then cannot show their texts, only their insertion strings.
  EventLogSink();
  void report(Failure kind, std::string_view detail) override;

 private:
  UniqueEventSource source_;
};

}  // namespace orvanta
