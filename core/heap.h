#pragma once
// How the programs hand memory back: the server runs some thirty threads that
// seldom allocate at once, and each malloc arena keeps its own free pages.

namespace tovaly {

// One malloc arena per core instead of glibc's eight per core; call first
// thing in main, before any thread starts.
void UseOneHeapArenaPerCore();

// Gives the free pages of every arena back to the system (after a burst of
// work, such as a long read-ahead, whose memory is not needed again).
void ReturnFreeHeap();

}  // namespace tovaly
