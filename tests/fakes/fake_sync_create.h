// The making of semaphores and the starting of threads, as unit tests link them in place of the
// tool's own: as the system does it, except that a chosen one is refused.
#pragma once

namespace fake {

// Back to refusing nothing; the counts start again.
void ResetSyncCreate();
// The n-th semaphore (thread) asked for after the reset, counting from 1, is refused.
void RefuseSemaphore(int nth);
void RefuseThread(int nth);
// How many were asked for since the reset, refused ones included.
int SemaphoresAskedFor();
int ThreadsAskedFor();

}  // namespace fake
