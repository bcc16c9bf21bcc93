// Taking and giving back request bytes.
#include "server/request_budget.hpp"

namespace orvanta {

bool RequestBudget::take(std::size_t bytes) {
  std::size_t available = available_.load(std::memory_order_relaxed);
  do {
    if (available < bytes) {
      return false;
    }
  } while (!available_.compare_exchange_weak(available, available - bytes, std::memory_order_relaxed));
  return true;
}

BudgetCharge::~BudgetCharge() {
  if (budget_ != nullptr && charged_ > 0) {
    budget_->give_back(charged_);
  }
}

bool BudgetCharge::cover(std::size_t line_bytes) {
  const std::size_t needed = line_bytes > free_bytes_ ? line_bytes - free_bytes_ : 0;
  if (budget_ == nullptr || needed <= charged_) {
    return true;
  }
  if (!budget_->take(needed - charged_)) {
    return false;
  }
  charged_ = needed;
  return true;
}

}  // namespace orvanta
