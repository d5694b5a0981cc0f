// Kernel objects in the shape of the Win32 synchronisation calls: mutexes, events,
// semaphores, shared memory sections and the waits on them.
//
// Every create and open call returns a kyos HANDLE (see os/Handle.h), or null on failure
// as its Windows counterpart does. Whoever receives a handle owns it and releases it with
// closeHandle(); duplicateHandle() gives a second, independent handle to the same object.
// A view returned by mapViewOfFile() is owned by the caller too, released with
// unmapViewOfFile(), and keeps its section alive after the section's handles are closed.
//
// Named objects are shared by every process of the machine. The "Global\" and "Local\"
// prefixes are accepted and both name the machine's one namespace: this platform has no
// sessions to tell apart, so "Local\X", "Global\X" and "X" are the same object. Names are
// case-sensitive, at most 1,023 characters after the prefix, and may not contain "\".
// Mutexes, events, semaphores and sections share the namespace: creating or opening one
// kind under a name that another kind holds fails with ERROR_INVALID_HANDLE. A named
// object lives until the last handle (or view) to it is closed in every process; a
// process that dies without closing counts as having closed.
//
// Results and errors: the calls set the thread's last error as Windows does. A create
// call that opens an existing object succeeds with ERROR_ALREADY_EXISTS; one that makes
// a new object sets 0. Opening a name nobody holds is ERROR_FILE_NOT_FOUND; an object the
// process's user may not use is ERROR_ACCESS_DENIED; a handle of the wrong kind (or
// closed) is ERROR_INVALID_HANDLE, and so is a name whose storage holds anything but a
// sound object of this layout (a damaged one, a link, a file planted by another program).
// The waits return WAIT_OBJECT_0 + index,
// WAIT_ABANDONED_0 + index (a mutex whose owning thread or process ended without
// releasing it; the caller now owns it), WAIT_TIMEOUT (also left as last error) or
// WAIT_FAILED with the reason as last error.
//
// Mutexes are recursive for their owning thread and owned by a thread, not a process: a
// thread that ends while it owns one abandons it, as on Windows. They rest on a detail of
// the C library's robust mutexes that it does not promise; where it does not hold,
// createMutex() and openMutex() fail with ERROR_NOT_SUPPORTED.
//
// Threads: every function may be called from any thread, also on the same handle at once.
// After fork() the child may create and open objects of its own; handles it inherited are
// not meant for use (Windows has no fork to copy them).
#pragma once

#include <cstddef>
#include <string>

#include "os/Win32.h"

namespace kyos {

// Who may open a named object. Everyone stands for a null DACL or one that grants the
// Everyone (or Authenticated Users) group access: any local user's process may open the
// object (file mode 0666). Default stands for default security: only processes of the
// creating user (and root) may open it (0600). The mode is set as given, whatever the
// process's umask. It only matters when the call creates the object.
enum class ObjectSecurity { Default, Everyone };

// CreateMutex: a new mutex, or the existing one of that name. With `initialOwner` the
// calling thread owns a new mutex (not an existing one). A null or empty name makes an
// unnamed mutex. The handle has MUTEX_ALL_ACCESS.
HANDLE createMutex(BOOL initialOwner, const char* name,
                   ObjectSecurity security = ObjectSecurity::Default);

// OpenMutex: the existing mutex of that name, with `desiredAccess` (SYNCHRONIZE to wait).
HANDLE openMutex(DWORD desiredAccess, const char* name);

// ReleaseMutex: gives up one level of the calling thread's ownership. FALSE with
// ERROR_NOT_OWNER when the calling thread does not own the mutex.
BOOL releaseMutex(HANDLE mutex);

// For a thread that took a mutex over abandoned (a wait returned WAIT_ABANDONED) only to
// look, and gives it back unused: releases it as releaseMutex() does, but leaves the
// abandonment for the next taker, whose wait returns WAIT_ABANDONED in turn. A thread that
// holds the mutex more than once keeps it, unmarked. FALSE with ERROR_NOT_OWNER when the
// calling thread does not own the mutex.
BOOL releaseMutexAsAbandoned(HANDLE mutex);

// CreateEvent: a manual-reset event stays signalled until reset; an auto-reset event lets
// one waiter through per set and resets itself. For an existing event both flags are
// ignored. The handle has EVENT_ALL_ACCESS.
HANDLE createEvent(BOOL manualReset, BOOL initialState, const char* name,
                   ObjectSecurity security = ObjectSecurity::Default);

// OpenEvent: EVENT_MODIFY_STATE to set, reset or pulse; SYNCHRONIZE to wait.
HANDLE openEvent(DWORD desiredAccess, const char* name);

BOOL setEvent(HANDLE event);
BOOL resetEvent(HANDLE event);

// PulseEvent: lets through the threads waiting at this moment (a manual-reset event) or
// one of them (auto-reset), and leaves the event reset. Nobody waiting: only resets.
BOOL pulseEvent(HANDLE event);

// CreateSemaphore: 0 <= initialCount <= maximumCount, maximumCount > 0, else
// ERROR_INVALID_PARAMETER. For an existing semaphore the counts are ignored. The handle
// has SEMAPHORE_ALL_ACCESS.
HANDLE createSemaphore(LONG initialCount, LONG maximumCount, const char* name,
                       ObjectSecurity security = ObjectSecurity::Default);

// OpenSemaphore: SEMAPHORE_MODIFY_STATE to release; SYNCHRONIZE to wait.
HANDLE openSemaphore(DWORD desiredAccess, const char* name);

// ReleaseSemaphore: adds `releaseCount` (> 0) to the count; `*previousCount` (may be null)
// receives the count before. A release that would pass the maximum fails with
// ERROR_TOO_MANY_POSTS and changes nothing.
BOOL releaseSemaphore(HANDLE semaphore, LONG releaseCount, LONG* previousCount);

// CreateFileMapping on the paging file: a section of `size` bytes (> 0), zero-filled when
// new and committed at once (no room: ERROR_NOT_ENOUGH_MEMORY here, not a fault later).
// `protect` is PAGE_READWRITE or PAGE_READONLY, optionally with SEC_COMMIT. An existing
// section keeps its own size. The handle has FILE_MAP_ALL_ACCESS (FILE_MAP_READ for a
// read-only section).
HANDLE createFileMapping(DWORD protect, ULONGLONG size, const char* name,
                         ObjectSecurity security = ObjectSecurity::Default);

// OpenFileMapping: FILE_MAP_READ, FILE_MAP_WRITE or FILE_MAP_ALL_ACCESS.
HANDLE openFileMapping(DWORD desiredAccess, const char* name);

// MapViewOfFile: maps `bytes` of the section from `offset` (0 bytes: to the end).
// FILE_MAP_READ gives a read-only view, FILE_MAP_WRITE or FILE_MAP_ALL_ACCESS a shared
// writable one, FILE_MAP_COPY a private copy-on-write one. The offset must be a multiple
// of the page size (ERROR_MAPPED_ALIGNMENT); a view past the section's end, or one the
// handle's access does not allow, is ERROR_ACCESS_DENIED. Null on failure.
void* mapViewOfFile(HANDLE section, DWORD desiredAccess, ULONGLONG offset, std::size_t bytes);

// UnmapViewOfFile: `base` is an address mapViewOfFile() returned (ERROR_INVALID_ADDRESS
// otherwise).
BOOL unmapViewOfFile(const void* base);

// WaitForSingleObject on a mutex, event or semaphore: waits up to `milliseconds`
// (INFINITE: no limit; 0: only tests) and takes the object (the mutex's ownership, an
// auto-reset event's signal, one semaphore count).
DWORD waitForSingleObject(HANDLE object, DWORD milliseconds);

// WaitForMultipleObjects on 1 to MAXIMUM_WAIT_OBJECTS handles. Without `waitAll`: takes
// the first object, in array order, that is signalled and returns its index. With
// `waitAll`: takes all of them in one step once all are signalled together, and until then
// takes none; the same object may not appear twice (ERROR_INVALID_PARAMETER).
DWORD waitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);

// DuplicateHandle within the calling process, for handles of this header's objects:
// `*target` receives a new handle with `desiredAccess`, or the source's access with
// DUPLICATE_SAME_ACCESS. DUPLICATE_CLOSE_SOURCE closes the source handle. Nothing is
// inherited by programs the process starts, so there is no inheritance flag.
BOOL duplicateHandle(HANDLE source, HANDLE* target, DWORD desiredAccess, DWORD options);

// Where a named object of this name is kept: its file below /dev/shm, for administrators
// and tests; empty with the last error for a name that is not valid.
std::string namedObjectPath(const char* name);

}  // namespace kyos
