#pragma once

// Handing memory that the allocator holds free back to the system. glibc keeps what threads
// free in its arenas (several, with many threads) and returns only the top of each heap by
// itself, so after many connections have come and gone the process would go on holding most of
// what they used.

namespace qm {

// Notes that a good deal of memory has just been freed (connections ended).
void NoteMemoryFreed();

// When memory was noted freed and the last return is at least a second ago, returns the free
// pages of every arena to the system (malloc_trim). Cheap otherwise: call it often.
void ReturnFreedMemoryIfDue();

}  // namespace qm
