// The request bytes that all connections together may hold at once.
#pragma once

#include <atomic>
#include <cstddef>

namespace orvanta {

// Shared by every connection worker; lock-free.
class RequestBudget {
 public:
  explicit RequestBudget(std::size_t bytes) : available_(bytes) {}
  RequestBudget(const RequestBudget&) = delete;
  RequestBudget& operator=(const RequestBudget&) = delete;

  // Takes the bytes if that many are left, and tells whether it did.
  [[nodiscard]] bool take(std::size_t bytes);
  void give_back(std::size_t bytes) { available_.fetch_add(bytes, std::memory_order_relaxed); }
  [[nodiscard]] std::size_t available() const { return available_.load(std::memory_order_relaxed); }

 private:
  std::atomic<std::size_t> available_;
};

// One connection's share of the budget: the bytes of its request line beyond the first `free_bytes`,
// which every line may hold so that an ordinary request is never refused. Held until the connection
// has been answered, since the reply is made from the line; released with the charge.
class BudgetCharge {
 public:
  // Without a budget every line is covered (tests of the reading alone).
  BudgetCharge(RequestBudget* budget, std::size_t free_bytes) : budget_(budget), free_bytes_(free_bytes) {}
  BudgetCharge(const BudgetCharge&) = delete;
  BudgetCharge& operator=(const BudgetCharge&) = delete;
  ~BudgetCharge();

  // Makes the charge cover a line of `line_bytes`; false, with the charge unchanged, when the budget
  // cannot.
  [[nodiscard]] bool cover(std::size_t line_bytes);

 private:
  RequestBudget* budget_;
  std::size_t free_bytes_;
  std::size_t charged_ = 0;
};

}  // namespace orvanta
