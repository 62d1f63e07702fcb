#pragma once

// Handing memory that the allocator holds free back to the system. glibc keeps what threads
// free in its arenas (several, with many threads) and returns only the top of each heap by
// itself, so after many connections have come and gone the process would go on holding most of
// what they used.

namespace qm {

// Notes that a good deal of memory has just been freed (connections ended).
void NoteMemoryFreed();

// Returns the free pages of every arena to the system (malloc_trim) when memory was noted freed
// and the last return is at least a second ago; it goes on doing so, once a second at most,
// until a return came 30 s after the last note, since memory goes on being freed for a while.
// Cheap otherwise: call it often.
void ReturnFreedMemoryIfDue();

}  // namespace qm
