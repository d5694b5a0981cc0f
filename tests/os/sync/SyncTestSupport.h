// Helpers of the os/sync tests: handles that close themselves, names private to one test,
// forked children that talk through pipes, and polling with a deadline.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>

#include "os/Win32.h"

namespace kytest {

// A kyos HANDLE closed at the end of its scope.
class ScopedHandle {
public:
    ScopedHandle() = default;
    explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
    ~ScopedHandle() { reset(); }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;

    HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }
    void reset(HANDLE handle = nullptr);
    HANDLE release() {
        HANDLE handle = handle_;
        handle_ = nullptr;
        return handle;
    }

private:
    HANDLE handle_ = nullptr;
};

// A kernel object name no other test (or run) uses: the pid, the test's name and `tag`.
std::string objectName(const std::string& tag);

// Polls `done` every millisecond until it holds or `limit` passes.
bool eventually(const std::function<bool()>& done,
                std::chrono::milliseconds limit = std::chrono::seconds(20));

// The thread (of any process) sits in a futex system call: asleep in a wait, not about to
// enter one.
bool blockedInFutex(pid_t thread);

// The calling thread's kernel id.
pid_t currentThreadId();

// A forked child running `body`; its return value is the child's exit code. The child
// reads what the parent send()s with Child::receiveFromParent() and answers with
// Child::sendToParent(). Killed (SIGKILL) and reaped at the end if still running.
class Child {
public:
    explicit Child(const std::function<int()>& body);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    void send(char message);
    // The child's next message, or 0 when it sent none within the limit.
    char receive(std::chrono::milliseconds limit = std::chrono::seconds(20));
    void kill(int signal);
    // Reaps the child (once; later calls repeat the result): its exit code, or 128 + the
    // signal that ended it.
    int wait();

    // In the child.
    static char receiveFromParent();
    static void sendToParent(char message);

private:
    pid_t pid_ = -1;
    int toChild_ = -1;
    int fromChild_ = -1;
    bool reaped_ = false;
    int exitCode_ = -1;
};

}  // namespace kytest
