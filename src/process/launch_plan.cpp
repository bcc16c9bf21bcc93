// The launch decisions, made on text and the system seam alone.
#include "process/launch_plan.hpp"

#include "process/command_line.hpp"
#include "process/program_search.hpp"

namespace orvanta {

Result<LaunchPlan> plan_launch(const Command& command, SystemQueries& system, const std::u16string* checked) {
  auto application = checked != nullptr ? Result<std::u16string>(*checked)
                                        : resolve_program(command.program(), system, command.search());
  if (!application) {
    return std::unexpected(application.error());
  }
  auto batch = is_batch_file(*application, system);
  if (!batch) {
    return std::unexpected(batch.error());
  }
  if (!*batch) {
    auto line = build_command_line(command.program(), command.args());
    if (!line) {
      return std::unexpected(line.error());
    }
    return LaunchPlan{std::move(*application), std::move(*line), false};
  }
  // A script is never handed to CreateProcessW itself: the system would pick a cmd.exe by its own
  // search, and the arguments would reach it unescaped.
  auto system_directory = system.system_directory();
  if (!system_directory) {
    return std::unexpected(system_directory.error());
  }
  auto line = build_batch_command_line(*application, command.args());
  if (!line) {
    return std::unexpected(line.error());
  }
  return LaunchPlan{*system_directory + u"\\cmd.exe", std::move(*line), true};
}

}  // namespace orvanta
