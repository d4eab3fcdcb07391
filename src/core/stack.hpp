// Stack-space guard for native code that the interpreter's recursion counter does not see.
#pragma once

#include <cstdint>

namespace verdin {

// The lowest stack address this thread may reach before native code refuses to go deeper.
std::uintptr_t stack_floor();

// True when the current thread's stack is nearly used up.
inline bool stack_nearly_exhausted() {
  // The frame address, not a local's: sanitizers may move locals off the real stack.
  return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) < stack_floor();
}

}  // namespace verdin
