// The pool of waiting connections: who is turned away when it is full, and who has timed out.
#include "server/waiting_pool.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "support/allocation_meter.hpp"

namespace orvanta {
namespace {

using Pool = WaitingPool<int>;
using Clock = Pool::Clock;
using std::chrono::seconds;

const Clock::time_point start{};

// One step on a pool: add an entry (with its deadline in seconds), remove it, or give it a new deadline.
struct Step {
  enum { Add, Remove, Reschedule } action;
  int entry;
  int deadline = 0;
};

struct PoolCase {
  const char* name;
  std::size_t capacity;
  std::vector<Step> steps;
  std::vector<int> turned_away;  // in the order the steps turned them away
  std::vector<int> expired_by_5s;
};

TEST(WaitingPool, TurnsAwayTheOldestWhenFullAndTimesOutByDeadline) {
  const std::vector<PoolCase> cases = {
      {"room for all", 3, {{Step::Add, 1, 9}, {Step::Add, 2, 1}, {Step::Add, 3, 5}}, {}, {2, 3}},
      {"full: the oldest goes, whatever its deadline",
       2,
       {{Step::Add, 1, 9}, {Step::Add, 2, 1}, {Step::Add, 3, 2}, {Step::Add, 4, 3}},
       {1, 2},
       {3, 4}},
      {"a removed entry frees its place",
       2,
       {{Step::Add, 1, 1}, {Step::Add, 2, 1}, {Step::Remove, 1}, {Step::Add, 3, 1}},
       {},
       {2, 3}},
      {"a new deadline keeps the place in line",
       2,
       {{Step::Add, 1, 1}, {Step::Add, 2, 1}, {Step::Reschedule, 1, 8}, {Step::Add, 3, 9}},
       {1},
       {2}},
      {"added again: only the deadline changes",
       2,
       {{Step::Add, 1, 1}, {Step::Add, 1, 7}, {Step::Add, 2, 2}},
       {},
       {2}},
      {"capacity 0 holds one", 0, {{Step::Add, 1, 1}, {Step::Add, 2, 1}}, {1}, {2}},
  };
  for (const PoolCase& c : cases) {
    SCOPED_TRACE(c.name);
    Pool pool(c.capacity);
    std::vector<int> turned_away;
    for (const Step& step : c.steps) {
      const Clock::time_point deadline = start + seconds(step.deadline);
      if (step.action == Step::Add) {
        if (const std::optional<int> turned = pool.add(step.entry, deadline)) {
          turned_away.push_back(*turned);
          EXPECT_FALSE(pool.contains(*turned));
        }
        EXPECT_TRUE(pool.contains(step.entry));
      } else if (step.action == Step::Remove) {
        EXPECT_TRUE(pool.remove(step.entry));
        EXPECT_FALSE(pool.remove(step.entry));
      } else {
        pool.reschedule(step.entry, deadline);
      }
    }
    EXPECT_EQ(turned_away, c.turned_away);
    const std::size_t held = pool.size();
    EXPECT_EQ(pool.take_expired(start + seconds(5)), c.expired_by_5s);
    EXPECT_EQ(pool.size(), held - c.expired_by_5s.size());
    for (const int entry : c.expired_by_5s) {
      EXPECT_FALSE(pool.contains(entry));
    }
  }
}

TEST(WaitingPool, TellsItsEarliestDeadlineAndTimesOutAFewAtATime) {
  Pool pool(4);
  EXPECT_EQ(pool.next_deadline(), std::nullopt);
  (void)pool.add(1, start + seconds(7));
  (void)pool.add(2, start + seconds(3));
  EXPECT_EQ(pool.next_deadline(), start + seconds(3));
  (void)pool.add(3, start + seconds(5));
  EXPECT_EQ(pool.take_expired(start + seconds(9), 1), std::vector<int>{2});
  EXPECT_EQ(pool.next_deadline(), start + seconds(5));
  (void)pool.take_expired(start + seconds(7));
  EXPECT_EQ(pool.next_deadline(), std::nullopt);
}

// Each allocation that a step makes fails in turn, and the step is then taken again with memory to
// spare: after a failure, the pool holds what it held, in the same order, with the same deadlines,
// and no deadline is left behind for an entry it does not hold.
TEST(WaitingPool, AStepThatRunsOutOfMemoryLeavesThePoolAsItWas) {
  struct Case {
    const char* name;
    Step step;
    std::vector<int> expired_after;  // all it holds by 9 s, by deadline, when the step went through
  };
  // The pool before each step: 1 due at 3 s, then 2 due at 1 s, with room for two.
  const std::vector<int> before = {2, 1};
  const Case cases[] = {
      {"add to a full pool", {Step::Add, 3, 2}, {2, 3}},
      {"add what it holds", {Step::Add, 1, 0}, {1, 2}},
      {"new deadline", {Step::Reschedule, 1, 0}, {1, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bool went_through = false;
    for (std::uint64_t fail_at = 1; !went_through && fail_at < 64; ++fail_at) {
      Pool pool(2);
      (void)pool.add(1, start + seconds(3));
      (void)pool.add(2, start + seconds(1));
      bool threw = false;
      {
        const test::FailingAllocation failing(fail_at);
        try {
          if (c.step.action == Step::Add) {
            (void)pool.add(c.step.entry, start + seconds(c.step.deadline));
          } else {
            pool.reschedule(c.step.entry, start + seconds(c.step.deadline));
          }
        } catch (const std::bad_alloc&) {
          threw = true;
        }
        went_through = !failing.failed();
        EXPECT_EQ(threw, failing.failed()) << "allocation " << fail_at;
      }
      const std::vector<int> expected = threw ? before : c.expired_after;
      EXPECT_EQ(pool.size(), expected.size()) << "allocation " << fail_at;
      // At most a few, so that a deadline left behind, which no removal takes away, cannot loop.
      EXPECT_EQ(pool.take_expired(start + seconds(9), 4), expected) << "allocation " << fail_at;
      EXPECT_EQ(pool.next_deadline(), std::nullopt) << "allocation " << fail_at;
    }
    EXPECT_TRUE(went_through);
  }
}

}  // namespace
}  // namespace orvanta
