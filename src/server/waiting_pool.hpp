// The connections an endpoint holds without a thread: a cap, the order they came in, their deadlines.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstddef>
#include <iterator>
#include <list>
#include <map>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

namespace orvanta {

// Entries wait in the order they were added, each until a deadline of its own. The pool never holds
// more than its capacity: adding to a full pool takes out the entry that has waited longest and hands
// it back, so that whoever fills the pool turns away its own oldest connections before anyone else's
// new one. Not thread-safe: its owner guards it.
//   capacity 2: add a, add b, add c -> c's add returns a; the pool holds b, c.
template <class Entry>
class WaitingPool {
 public:
  using Clock = std::chrono::steady_clock;

  // A capacity of 0 is taken as 1: a newcomer always gets a place.
  explicit WaitingPool(std::size_t capacity) : capacity_(std::max<std::size_t>(capacity, 1)) {}
  WaitingPool(const WaitingPool&) = delete;
  WaitingPool& operator=(const WaitingPool&) = delete;

  // Adds the entry as the newest; what was taken out to make room, never the newcomer. An entry
  // already in the pool is only given the new deadline. One that throws (out of memory) leaves the
  // pool as it was: the newcomer is in all three records or in none, and nobody was turned away for it.
  [[nodiscard]] std::optional<Entry> add(Entry entry, Clock::time_point deadline) {
    if (const auto found = index_.find(entry); found != index_.end()) {
      reschedule(found->second, deadline);
      return std::nullopt;
    }
    const auto timed = deadlines_.emplace(deadline, entry);
    try {
      arrivals_.push_back({entry, timed});
      try {
        index_.emplace(entry, std::prev(arrivals_.end()));
      } catch (...) {
        arrivals_.pop_back();
        throw;
      }
    } catch (...) {
      deadlines_.erase(timed);
      throw;
    }
    // Only once the newcomer is in, and by steps that allocate nothing.
    std::optional<Entry> turned_away;
    if (arrivals_.size() > capacity_) {
      turned_away = arrivals_.front().entry;
      (void)remove(*turned_away);
    }
    return turned_away;
  }

  // A new deadline for an entry, which keeps its place in the order of arrival.
  void reschedule(const Entry& entry, Clock::time_point deadline) {
    if (const auto found = index_.find(entry); found != index_.end()) {
      reschedule(found->second, deadline);
    }
  }

  // Takes the entry out; false when it was not in the pool.
  bool remove(const Entry& entry) {
    const auto found = index_.find(entry);
    if (found == index_.end()) {
      return false;
    }
    deadlines_.erase(found->second->deadline);
    arrivals_.erase(found->second);
    index_.erase(found);
    return true;
  }

  [[nodiscard]] bool contains(const Entry& entry) const { return index_.contains(entry); }
  [[nodiscard]] std::size_t size() const { return arrivals_.size(); }

  // The earliest deadline, if any entry waits.
  [[nodiscard]] std::optional<Clock::time_point> next_deadline() const {
    return deadlines_.empty() ? std::nullopt : std::optional(deadlines_.begin()->first);
  }

  // Takes out the entries whose deadline is `now` or earlier, the earliest first, at most `most`.
  [[nodiscard]] std::vector<Entry> take_expired(Clock::time_point now, std::size_t most = SIZE_MAX) {
    std::vector<Entry> expired;
    while (expired.size() < most && !deadlines_.empty() && deadlines_.begin()->first <= now) {
      expired.push_back(deadlines_.begin()->second);
      (void)remove(expired.back());
    }
    return expired;
  }

 private:
  using Deadlines = std::multimap<Clock::time_point, Entry>;
  struct Arrival {
    Entry entry;
    typename Deadlines::iterator deadline;
  };
  using Arrivals = std::list<Arrival>;

  // The new deadline is in before the old one goes, so that a throw leaves the old one standing.
  void reschedule(typename Arrivals::iterator arrival, Clock::time_point deadline) {
    const auto timed = deadlines_.emplace(deadline, arrival->entry);
    deadlines_.erase(std::exchange(arrival->deadline, timed));
  }

  std::size_t capacity_;
  Arrivals arrivals_;
  Deadlines deadlines_;
  std::unordered_map<Entry, typename Arrivals::iterator> index_;
};

}  // namespace orvanta
