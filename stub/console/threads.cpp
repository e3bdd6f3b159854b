// The console build's decoding threads and their semaphores.
#include <pthread.h>
#include <semaphore.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "sfx_platform.h"

unsigned sfx_platform_processors() {
  const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
  return n > 1 ? static_cast<unsigned>(n) : 1u;
}

namespace {
struct ThreadStart {
  void (*run)(void*);
  void* arg;
};
void* thread_main(void* p) {
  const ThreadStart start = *static_cast<ThreadStart*>(p);
  std::free(p);
  start.run(start.arg);
  return nullptr;
}
}  // namespace

bool sfx_platform_start_thread(void (*run)(void*), void* arg) {
  // Started from the main thread, the thread inherits its mask: Ctrl+C
  // stays with the UI thread.
  auto* start = static_cast<ThreadStart*>(std::malloc(sizeof(ThreadStart)));
  if (!start) return false;
  *start = ThreadStart{run, arg};
  pthread_t thread;
  if (pthread_create(&thread, nullptr, thread_main, start) != 0) {
    std::free(start);
    return false;
  }
  pthread_detach(thread);
  return true;
}

void* sfx_platform_semaphore(unsigned initial) {
  auto* s = static_cast<sem_t*>(std::malloc(sizeof(sem_t)));
  if (s && sem_init(s, 0, initial) != 0) {
    std::free(s);
    s = nullptr;
  }
  return s;
}

void sfx_platform_wait(void* semaphore) {
  while (sem_wait(static_cast<sem_t*>(semaphore)) != 0 && errno == EINTR) {
  }
}

void sfx_platform_post(void* semaphore) { sem_post(static_cast<sem_t*>(semaphore)); }
