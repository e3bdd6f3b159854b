// The Win32 program's decoding threads and their semaphores.
#include <atomic>
#include <cstdlib>
#include <new>

#include "sfx_platform.h"
#include "win32.h"

unsigned sfx_platform_processors() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors > 1 ? info.dwNumberOfProcessors : 1u;
}

namespace {
struct ThreadStart {
  void (*run)(void*);
  void* arg;
};
DWORD WINAPI thread_main(LPVOID p) {
  const ThreadStart start = *static_cast<ThreadStart*>(p);
  std::free(p);
  start.run(start.arg);
  return 0;
}
}  // namespace

bool sfx_platform_start_thread(void (*run)(void*), void* arg) {
  auto* start = static_cast<ThreadStart*>(std::malloc(sizeof(ThreadStart)));
  if (!start) return false;
  *start = ThreadStart{run, arg};
  HANDLE thread = CreateThread(nullptr, 0, thread_main, start, 0, nullptr);
  if (!thread) {
    std::free(start);
    return false;
  }
  CloseHandle(thread);
  return true;
}

namespace {

// A counting semaphore that asks the system only when a thread has to
// sleep or be woken: count is the units free less the threads waiting, and
// `owed` the wake-ups owed to those threads. The decoding threads hand over
// several packets per member. A sleeping thread waits on a condition
// variable, not a kernel object: Windows' own keyed waits, which under Wine
// stay in the process (a futex) instead of a round trip to its server.
struct Semaphore {
  std::atomic<long> count;
  long owed;
  SRWLOCK lock;
  CONDITION_VARIABLE woken;
};

}  // namespace

void* sfx_platform_semaphore(unsigned initial) {
  auto* s = static_cast<Semaphore*>(std::malloc(sizeof(Semaphore)));
  if (!s) return nullptr;
  new (&s->count) std::atomic<long>(static_cast<long>(initial));
  s->owed = 0;
  InitializeSRWLock(&s->lock);
  InitializeConditionVariable(&s->woken);
  return s;
}

void sfx_platform_wait(void* semaphore) {
  auto* s = static_cast<Semaphore*>(semaphore);
  if (s->count.fetch_sub(1, std::memory_order_acq_rel) > 0) return;
  AcquireSRWLockExclusive(&s->lock);
  while (s->owed == 0) SleepConditionVariableSRW(&s->woken, &s->lock, INFINITE, 0);
  --s->owed;
  ReleaseSRWLockExclusive(&s->lock);
}

void sfx_platform_post(void* semaphore) {
  auto* s = static_cast<Semaphore*>(semaphore);
  if (s->count.fetch_add(1, std::memory_order_acq_rel) >= 0) return;
  AcquireSRWLockExclusive(&s->lock);
  ++s->owed;
  ReleaseSRWLockExclusive(&s->lock);
  WakeConditionVariable(&s->woken);
}
