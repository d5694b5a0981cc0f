// Each thread's record of the mutexes it has lately waited on, by handle, so that its next
// wait on one of them, or release of it, goes straight to the mutex's state without
// taking a use of the handle (two atomic operations on a shared word, more than the rest
// of an uncontended lock and release). Internal to os/sync.
//
// A record names a handle and the state it led to, and is made while the handle is in use
// by the recording thread. It is only a cache: it counts while that same handle is still
// open (a closed handle never comes back), and it says nothing about who owns the mutex.
// What makes following it safe without a use of the handle is that the memory of a
// mutex stays for as long as any thread records it: the end of a KernelObject, and the
// release of lingering memory, ask mutexCachedByAnyThread() as they ask
// tokenOwnedInThisProcess(). A record of a closed handle is dropped when its thread next
// comes across it, when the thread records another mutex, or when the thread ends.
//
// Threads: each thread reads and changes its own records only; any thread may ask whether
// some thread records a state. A forked child starts with no records.
#pragma once

#include "os/Win32.h"
#include "os/sync/SyncState.h"

namespace kyos::sync_internal {

// The state of the mutex that `handle` led to when the calling thread recorded it, while
// the handle is still open; otherwise null (and a record of the closed handle is dropped).
SyncState* cachedMutex(HANDLE handle);

// Records that `handle`, a mutex handle with SYNCHRONIZE that the calling thread has in
// use right now, leads to `state`.
void cacheMutex(HANDLE handle, SyncState* state);

// Drops the calling thread's records of `state`, as its handle is being closed.
void forgetCachedMutex(const SyncState* state);

// Some thread of this process records `state`, and may still follow the record into it.
bool mutexCachedByAnyThread(const SyncState* state);

}  // namespace kyos::sync_internal
