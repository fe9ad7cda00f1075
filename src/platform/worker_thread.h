// A thread that runs one piece of work and can be waited on within a time limit.
// A worker that outlives its wait is let go, never killed: killing a thread inside a
// directory call can leave the heap or the component locked for the rest of the process.
#pragma once

#include <cstdint>

namespace tq5::platform {

struct WorkerThread;

inline constexpr uint32_t kWaitForever = 0xFFFFFFFFu;

// Starts `work(argument)` on a new thread at once; null when no thread can be started.
WorkerThread* StartWorkerThread(void (*work)(void*), void* argument);
// Waits up to `timeoutMs` milliseconds (kWaitForever: without limit) for the work to end.
// True when it has ended.
bool WaitWorkerThread(WorkerThread* thread, uint32_t timeoutMs);
// Lets go of the thread. One that is still running goes on by itself and ends unseen;
// whatever it uses must stay alive until it does.
void ReleaseWorkerThread(WorkerThread* thread);

}  // namespace tq5::platform
