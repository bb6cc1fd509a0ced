// Threads the system starts and never joins, and the number its "started" lines show.
#pragma once

#include <cstdint>
#include <pthread.h>

// Starts a detached thread running fn(arg): 0, or the pthread_create error.
int start_detached(pthread_t *thread, void *(*fn)(void *), void *arg);

// The thread number shown in the "started" lines of the service's threads.
uint32_t sys_thread_id();

// Marks the calling thread as an IO loop thread: one that must never wait on a disk, a lock
// of another process or any other slow work, since every peer of its loop waits with it.
void thread_mark_loop();
// True on a thread marked by thread_mark_loop.
bool thread_is_loop();
