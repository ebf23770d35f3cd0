#pragma once

// Checks of allocation sizes computed from user input, made before allocating, so that an
// impossible request fails with a message naming the bytes instead of ending in the kernel's
// out-of-memory kill.

#include <new>
#include <string>

namespace tesk {

/// A std::bad_alloc (the host maps it to MemoryError) whose message names the bytes needed.
class AllocationTooLarge : public std::bad_alloc {
 public:
  explicit AllocationTooLarge(std::string message) : m_message(std::move(message)) {}
  const char* what() const noexcept override { return m_message.c_str(); }

 private:
  std::string m_message;
};

/// Physical memory of this machine in bytes; 0 when the system does not say.
double physical_memory_bytes();

/// Throws AllocationTooLarge "<what> needs <bytes> bytes, more than the <total> bytes of
/// physical memory" when `bytes` (or any non-finite value) exceeds physical memory.
void check_allocation(double bytes, const char* what);

}  // namespace tesk
