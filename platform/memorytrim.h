#pragma once

#include <chrono>

class QObject;

namespace kc {

/// Every `interval`, on the event loop of `owner`'s thread, gives the pages
/// the allocator holds free back to the system. A window that runs for days
/// allocates and frees all the time (lines, layouts, transfers on threads of
/// their own); without this the freed pages between live blocks stay
/// resident, and the process only ever grows by them. The timer lives as
/// long as `owner`. Does nothing where the C library has no such call.
void trimFreedMemoryEvery(QObject *owner, std::chrono::milliseconds interval);

/// Gives the allocator's free pages back to the system once, now.
void trimFreedMemory();

} // namespace kc
