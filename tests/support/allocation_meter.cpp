// Global operator new and delete that keep a per-thread account and can fail on request.
#include "support/allocation_meter.hpp"

#include <algorithm>
#include <cstdlib>
#include <new>

namespace orvanta::test {
namespace {

// Each block carries its size in front of it, so that delete can take it off the account.
constexpr std::size_t header = alignof(std::max_align_t);

struct Account {
  std::int64_t live = 0;
  std::int64_t peak = 0;
  std::uint64_t allocations = 0;
  std::uint64_t fail_at = 0;  // 0: none armed
  bool failed = false;
};
thread_local Account account;

void* allocate(std::size_t size) {
  ++account.allocations;
  if (account.fail_at != 0 && account.allocations == account.fail_at) {
    account.failed = true;
    throw std::bad_alloc();
  }
  auto* block = static_cast<unsigned char*>(std::malloc(size + header));
  if (block == nullptr) {
    throw std::bad_alloc();
  }
  *reinterpret_cast<std::size_t*>(block) = size;
  account.live += static_cast<std::int64_t>(size);
  account.peak = std::max(account.peak, account.live);
  return block + header;
}

void release(void* pointer) noexcept {
  if (pointer == nullptr) {
    return;
  }
  auto* block = static_cast<unsigned char*>(pointer) - header;
  // A block freed on another thread than the one that made it leaves both accounts a little off,
  // which the tests that read them avoid.
  account.live -= static_cast<std::int64_t>(*reinterpret_cast<std::size_t*>(block));
  std::free(block);
}

}  // namespace

AllocationMeter::AllocationMeter() : start_(account.live), saved_peak_(account.peak) {
  account.peak = account.live;
}

AllocationMeter::~AllocationMeter() { account.peak = std::max(saved_peak_, account.peak); }

std::size_t AllocationMeter::peak_bytes() const { return static_cast<std::size_t>(account.peak - start_); }

FailingAllocation::FailingAllocation(std::uint64_t fail_at) {
  account.allocations = 0;
  account.failed = false;
  account.fail_at = fail_at;
}

FailingAllocation::~FailingAllocation() { account.fail_at = 0; }

bool FailingAllocation::failed() const { return account.failed; }

}  // namespace orvanta::test

void* operator new(std::size_t size) { return orvanta::test::allocate(size); }
void* operator new[](std::size_t size) { return orvanta::test::allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return orvanta::test::allocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* pointer) noexcept { orvanta::test::release(pointer); }
void operator delete[](void* pointer) noexcept { orvanta::test::release(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { orvanta::test::release(pointer); }
void operator delete[](void* pointer, std::size_t) noexcept { orvanta::test::release(pointer); }
void operator delete(void* pointer, const std::nothrow_t&) noexcept { orvanta::test::release(pointer); }
void operator delete[](void* pointer, const std::nothrow_t&) noexcept { orvanta::test::release(pointer); }
