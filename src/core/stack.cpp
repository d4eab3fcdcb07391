// Stack-space guard: the bounds of each thread's stack, read once per thread.
#include "stack.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstddef>

namespace verdin {
namespace {

// Room left for the interpreter and for unwinding once we refuse to go deeper.
constexpr std::size_t max_margin = 256 * 1024;

std::uintptr_t compute_floor() {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return 1;  // unknown: never refuse
  void* addr = nullptr;
  std::size_t size = 0;
  int rc = pthread_attr_getstack(&attr, &addr, &size);
  pthread_attr_destroy(&attr);
  if (rc != 0 || addr == nullptr || size == 0) return 1;
  std::size_t margin = std::min(size / 2, max_margin);
  return reinterpret_cast<std::uintptr_t>(addr) + margin;
}

thread_local std::uintptr_t floor_address = 0;

}  // namespace

std::uintptr_t stack_floor() {
  if (floor_address == 0) floor_address = compute_floor();
  return floor_address;
}

}  // namespace verdin
