// Buffered mode: lines gathered in memory and written in batches of whole lines, and the
// process-wide flusher thread that writes the aged lines of a quiet process.
#include <chrono>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <vector>

#include "siblings/HbUtils/CHbLoggerState.h"

using namespace hblog;

namespace {

// Buffered mode writes its lines when this much has gathered, or once the oldest has
// waited this long: at the next line, or from the flusher thread when the process is
// quiet. The flusher looks this often, so a quiet line waits at most the sum.
constexpr std::size_t kBufferedFlushBytes = 64 * 1024;
constexpr std::size_t kBufferCapacity = kBufferedFlushBytes + kLineCapacity;
constexpr std::int64_t kBufferedMaxAgeMs = 1000;
constexpr auto kFlusherTick = std::chrono::milliseconds(200);

}  // namespace

// Buffered lines of a quiet process are written within about a second of the oldest one,
// by one thread for the whole process, started with the first buffered line. It flushes
// with no process-wide lock held: a writer it is flushing is pinned, and its destructor
// waits for the pin to go.
void CHbLogger::State::StartFlusher() {
    Registry& registry = Writers();
    if (registry.flusherRunning.exchange(true))
        return;
    try {
        std::thread(&State::FlusherMain).detach();
    } catch (...) {
        // No thread: aged lines still go at the next line, the close and the exit.
        registry.flusherRunning.store(false);
    }
}

void CHbLogger::State::FlusherMain() {
    Registry& registry = Writers();
    std::vector<State*> due;
    for (;;) {
        std::this_thread::sleep_for(kFlusherTick);
        due.clear();
        {
            std::lock_guard<std::mutex> guard(registry.mutex);
            for (State* state : registry.writers) {
                std::int64_t oldest = state->oldestBufferedMs.load(std::memory_order_relaxed);
                if (oldest != 0 && state->Now() - oldest >= kBufferedMaxAgeMs) {
                    ++state->pins;
                    due.push_back(state);
                }
            }
        }
        for (State* state : due)
            state->FlushIfAged();
        if (!due.empty()) {
            std::lock_guard<std::mutex> guard(registry.mutex);
            for (State* state : due)
                --state->pins;
            registry.unpinned.notify_all();
        }
    }
}

void CHbLogger::State::AppendBuffered(iovec* iov, int count, std::size_t total, std::size_t lines) {
    bool due = false;
    {
        std::lock_guard<std::mutex> guard(bufferMutex);
        if (shutdown.load(std::memory_order_relaxed)) {
            Drop(lines);
            return;
        }
        if (!buffer)
            buffer.reset(new (std::nothrow) char[kBufferCapacity]);
        if (buffer && bufferUsed + total <= kBufferCapacity) {
            std::int64_t now = Now();
            std::int64_t oldest = oldestBufferedMs.load(std::memory_order_relaxed);
            if (bufferUsed == 0) {
                oldest = now != 0 ? now : 1;  // 0 stands for an empty buffer
                oldestBufferedMs.store(oldest, std::memory_order_relaxed);
            }
            for (int i = 0; i < count; ++i) {
                std::memcpy(buffer.get() + bufferUsed, iov[i].iov_base, iov[i].iov_len);
                bufferUsed += iov[i].iov_len;
            }
            bufferLines += lines;
            due = bufferUsed >= kBufferedFlushBytes || now - oldest >= kBufferedMaxAgeMs;
            if (!due) {
                StartFlusherOnce();
                return;
            }
            iov = nullptr;  // in the buffer now
        }
    }
    // Due, or no room for the line: what is gathered goes first, then the line itself
    // when it did not fit, in one flush so that nothing overtakes it.
    FlushBuffer(iov, iov != nullptr ? count : 0, total, lines);
}

void CHbLogger::State::StartFlusherOnce() {
    if (!Writers().flusherRunning.load(std::memory_order_relaxed))
        StartFlusher();
}

// Takes the gathered lines out of `buffer` into `spare` (flushMutex and bufferMutex
// held); returns their bytes, 0 when there are none.
std::size_t CHbLogger::State::TakeBatchLocked(std::size_t* lines) {
    if (bufferUsed == 0)
        return 0;
    if (!spare)
        spare.reset(new (std::nothrow) char[kBufferCapacity]);
    std::size_t used = 0;
    if (spare) {
        std::swap(buffer, spare);
        used = bufferUsed;
        *lines = bufferLines;
    } else {
        // No memory for a second buffer: write this one with the buffer locked, as late
        // lines had better wait than be lost.
        iovec iov{buffer.get(), bufferUsed};
        WriteNow(&iov, 1, bufferUsed, bufferLines);
    }
    bufferUsed = 0;
    bufferLines = 0;
    oldestBufferedMs.store(0, std::memory_order_relaxed);
    return used;
}

void CHbLogger::State::FlushBuffer(iovec* after, int afterCount, std::size_t afterTotal,
                                   std::size_t afterLines) {
    std::lock_guard<std::mutex> order(flushMutex);
    std::size_t lines = 0;
    std::size_t used;
    {
        std::lock_guard<std::mutex> guard(bufferMutex);
        used = TakeBatchLocked(&lines);
    }
    if (used != 0) {
        iovec iov{spare.get(), used};
        WriteNow(&iov, 1, used, lines);
    }
    if (after != nullptr)
        WriteNow(after, afterCount, afterTotal, afterLines);
}

// Writes what is gathered, then refuses further lines; a line added while the last batch
// was being written is written too.
void CHbLogger::State::FlushAndShutDown() {
    std::lock_guard<std::mutex> order(flushMutex);
    for (;;) {
        std::size_t lines = 0;
        std::size_t used;
        {
            std::lock_guard<std::mutex> guard(bufferMutex);
            used = TakeBatchLocked(&lines);
            if (used == 0 && bufferUsed == 0) {
                shutdown.store(true, std::memory_order_relaxed);
                return;
            }
        }
        if (used != 0) {
            iovec iov{spare.get(), used};
            WriteNow(&iov, 1, used, lines);
        }
    }
}

void CHbLogger::State::FlushIfAged() {
    std::int64_t oldest = oldestBufferedMs.load(std::memory_order_relaxed);
    if (oldest != 0 && Now() - oldest >= kBufferedMaxAgeMs)
        FlushBuffer();
}
