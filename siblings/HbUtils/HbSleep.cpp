#include "siblings/HbUtils/HbSleep.h"

#include <chrono>
#include <thread>

void HBSLEEP_InTeRnAl(DWORD milliseconds, const char* /*sourceFile*/, int /*line*/) {
    if (milliseconds == INFINITE) {
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours(24));
    }
    // sleep_for resumes after a signal and sleeps the remaining time, so the thread
    // sleeps at least the time asked.
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
