/// @brief Memory the program frees kept for its next allocations.
#pragma once

namespace platform {

/// A script that fetches the time differences at the gigabit rate takes tens of megabytes a
/// second through the control port's send buffers. The C library hands large freed blocks back
/// to the system at once, and taking them again costs a page fault per 4 KiB: on a virtual
/// machine that was most of the cost of a fetch. This keeps freed memory in the program for the
/// next allocation instead (once per process; a no-op where the C library has no such setting).
void keepFreedMemoryForReuse();

} // namespace platform
