// HBSLEEP_InTeRnAl: puts the calling thread to sleep; HBSLEEP(ms) passes the call site.
//
// The source file and line name the caller in a debugger's view of a sleeping thread;
// the sleep itself does not use them. INFINITE sleeps for good, as Sleep(INFINITE) does.
// Safe from any thread; it sleeps only the caller.
#pragma once

#include "os/Win32.h"

void HBSLEEP_InTeRnAl(DWORD milliseconds, const char* sourceFile, int line);

#define HBSLEEP(milliseconds) HBSLEEP_InTeRnAl((milliseconds), __FILE__, __LINE__)
