// bench_idle_memory: the resident memory of idle processes side by side (Linux), for `make bench`.
//   bench_idle_memory NAME=PID YARDSTICK=PID [NAME=PID...]
// Waits until the resident memory (VmRSS) of every process has stayed the same for 3 s (start-up has
// settled), prints each with its thread count, where the first one's memory goes beyond the
// yardstick's (resident bytes by mapping), and the first against 1.25 times the yardstick.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "proc_status.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using orvanta::bench::mib;

struct Measured {
  std::string name;
  int pid = 0;
  std::optional<long long> resident;
  Clock::time_point unchanged_since = Clock::now();
};

std::string base_name(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The mappings where `ours` holds the most more than `yardstick`, largest first.
void print_differences(int ours, int yardstick) {
  std::map<std::string, long long> difference;
  for (const auto& [name, bytes] : orvanta::bench::resident_by_mapping(ours)) {
    difference[base_name(name)] += bytes;
  }
  for (const auto& [name, bytes] : orvanta::bench::resident_by_mapping(yardstick)) {
    difference[base_name(name)] -= bytes;
  }
  std::vector<std::pair<long long, std::string>> sorted;
  long long total = 0;
  for (const auto& [name, bytes] : difference) {
    sorted.emplace_back(bytes, name);
    total += bytes;
  }
  std::sort(sorted.rbegin(), sorted.rend());
  constexpr std::size_t shown = 12;
  long long rest = total;
  std::printf(
      "  where the first one's resident memory goes beyond the second's, by mapping (%+.1f MiB in all):\n",
      mib(total));
  for (std::size_t i = 0; i < std::min(shown, sorted.size()) && sorted[i].first > 0; ++i) {
    std::printf("    %+7.2f MiB  %s\n", mib(sorted[i].first), sorted[i].second.c_str());
    rest -= sorted[i].first;
  }
  std::printf("    %+7.2f MiB  everything else together\n", mib(rest));
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<Measured> processes;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    const auto equals = argument.rfind('=');
    const int pid = equals == std::string::npos ? 0 : std::atoi(argument.c_str() + equals + 1);
    if (pid <= 0) {
      processes.clear();
      break;
    }
    processes.push_back({argument.substr(0, equals), pid, std::nullopt, Clock::now()});
  }
  if (processes.size() < 2) {
    std::fprintf(stderr, "usage: bench_idle_memory NAME=PID YARDSTICK=PID [NAME=PID...]\n");
    return 2;
  }

  const Clock::time_point started = Clock::now();
  const Clock::time_point give_up = started + 60s;
  bool settled = false;
  while (!settled && Clock::now() < give_up) {
    std::this_thread::sleep_for(250ms);
    settled = true;
    for (Measured& process : processes) {
      const auto resident = orvanta::bench::status_bytes(process.pid, "VmRSS");
      if (!resident) {
        std::fprintf(stderr, "bench_idle_memory: %s (pid %d) is gone\n", process.name.c_str(), process.pid);
        return 1;
      }
      if (resident != process.resident) {
        process.resident = resident;
        process.unchanged_since = Clock::now();
      }
      settled = settled && Clock::now() - process.unchanged_since >= 3s;
    }
  }
  const double waited = std::chrono::duration<double>(Clock::now() - started).count();
  std::printf("resident memory (VmRSS) of idle processes side by side, %s after %.1f s\n",
              settled ? "each unchanged for 3 s" : "NOT settled", waited);
  for (const Measured& process : processes) {
    const std::string label = process.name + " (pid " + std::to_string(process.pid) + ")";
    std::printf("  %-58s %7.1f MiB  %3d threads\n", label.c_str(), mib(*process.resident),
                orvanta::bench::thread_count(process.pid).value_or(0));
  }
  print_differences(processes[0].pid, processes[1].pid);
  const double ratio =
      static_cast<double>(*processes[0].resident) / static_cast<double>(*processes[1].resident);
  std::printf("target %s <= 1.25x %s:  %.2fx  %s\n", processes[0].name.c_str(), processes[1].name.c_str(),
              ratio, ratio <= 1.25 ? "met" : "NOT met");
  return 0;
}
