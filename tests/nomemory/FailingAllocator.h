// A global operator new that fails on purpose, for seeing how the library
// meets an allocation that cannot be had. It replaces the allocator of the
// whole program, so it lives in a test program of its own.
#pragma once

namespace failing_allocator {

// The allocation `index` calls from now (0: the very next) throws
// std::bad_alloc; those before and after it succeed.
void FailAt(long index);
// Stops failing; true when the armed allocation was reached.
bool Disarm();
// Allocations made with operator new and not deleted yet.
long Live();

} // namespace failing_allocator
