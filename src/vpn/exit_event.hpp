// The named event through which OpenVPN is asked to end by itself (its --service option).
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "common/error.hpp"
#include "common/handle.hpp"

namespace orvanta {

// A manual-reset event, unsignalled, with the name OpenVPN is given.
struct ExitEvent {
  UniqueHandle handle;
  std::u16string name;
};

// Gives the name for the next OpenVPN's event; tests put a fixed one here.
using ExitEventNamer = std::function<Result<std::u16string>()>;

// Global\OrvantaVpnHelper-exit-<32 lower-case hex digits>, from the system's random source.
[[nodiscard]] Result<std::u16string> random_exit_event_name();

// Makes the event under a new name. Its DACL is protected and grants EVENT_ALL_ACCESS to SYSTEM and
// Administrators alone: OpenVPN opens it by name with CreateEventW, which asks for full access, and
// with less it would log a failure and could only ever be killed. A name that exists already is
// refused ("the exit event already exists"): whoever made it first could set it, or hold it open.
[[nodiscard]] Result<ExitEvent> create_exit_event(const ExitEventNamer& namer);

// The event of an OpenVPN that a previous process of the service launched, opened again to be set.
// OpenVPN holds its own handle, so the name lives as long as it does. Empty when it cannot be opened.
[[nodiscard]] UniqueHandle open_exit_event(const std::u16string& name);

}  // namespace orvanta
