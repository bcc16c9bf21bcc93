// What a piece of code allocates through operator new, and allocations made to fail on purpose.
// Linking this file replaces the global operator new and delete of the test program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace orvanta::test {

// Counts, on the calling thread, the bytes allocated and not yet freed from its making on, and the
// highest that count reached.
class AllocationMeter {
 public:
  AllocationMeter();
  AllocationMeter(const AllocationMeter&) = delete;
  AllocationMeter& operator=(const AllocationMeter&) = delete;
  ~AllocationMeter();

  [[nodiscard]] std::size_t peak_bytes() const;

 private:
  std::int64_t start_;
  std::int64_t saved_peak_;
};

// While it lives, the `fail_at`-th allocation on the calling thread from its making on (counting
// from 1) throws std::bad_alloc, and every one after it succeeds again.
class FailingAllocation {
 public:
  explicit FailingAllocation(std::uint64_t fail_at);
  FailingAllocation(const FailingAllocation&) = delete;
  FailingAllocation& operator=(const FailingAllocation&) = delete;
  ~FailingAllocation();

  // Whether the failure has been served, that is, whether the code under test reached that allocation.
  [[nodiscard]] bool failed() const;
};

}  // namespace orvanta::test
