#include "tests/os/sync/SyncTestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "os/Handle.h"

namespace kytest {
namespace {

// The child's ends of its pipes, for the static calls made in the child.
int g_childReads = -1;
int g_childWrites = -1;

}  // namespace

void ScopedHandle::reset(HANDLE handle) {
    if (handle_ != nullptr)
        kyos::closeHandle(handle_);
    handle_ = handle;
}

std::string objectName(const std::string& tag) {
    static std::atomic<int> counter{0};
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name =
        "kytest-" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1)) + "-";
    if (test != nullptr)
        name += std::string(test->test_suite_name()) + "." + test->name() + "-";
    for (char& c : name) {
        if (c == '/')
            c = '_';
    }
    return name + tag;
}

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    auto until = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool blockedInFutex(pid_t thread) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/syscall", static_cast<int>(thread));
    FILE* file = std::fopen(path, "r");
    if (file == nullptr)
        return false;
    long number = -1;
    int fields = std::fscanf(file, "%ld", &number);
    std::fclose(file);
    if (fields != 1)
        return false;
#ifdef SYS_futex_waitv
    if (number == SYS_futex_waitv)
        return true;
#endif
    return number == SYS_futex;
}

pid_t currentThreadId() {
    return static_cast<pid_t>(::gettid());
}

Child::Child(const std::function<int()>& body) {
    int down[2], up[2];
    if (::pipe2(down, O_CLOEXEC) != 0 || ::pipe2(up, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe";
        return;
    }
    std::fflush(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
        ::close(down[1]);
        ::close(up[0]);
        g_childReads = down[0];
        g_childWrites = up[1];
        int code = body();
        // Skips the parent's atexit handlers and static destructors, which are not ours.
        ::_exit(code);
    }
    ::close(down[0]);
    ::close(up[1]);
    toChild_ = down[1];
    fromChild_ = up[0];
    if (pid_ < 0)
        ADD_FAILURE() << "fork";
}

Child::~Child() {
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, SIGKILL);
        wait();
    }
    if (toChild_ >= 0)
        ::close(toChild_);
    if (fromChild_ >= 0)
        ::close(fromChild_);
}

void Child::send(char message) {
    if (::write(toChild_, &message, 1) != 1)
        ADD_FAILURE() << "could not write to the child";
}

char Child::receive(std::chrono::milliseconds limit) {
    pollfd ready{fromChild_, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(limit.count())) != 1)
        return 0;
    char message = 0;
    if (::read(fromChild_, &message, 1) != 1)
        return 0;
    return message;
}

void Child::kill(int signal) {
    ::kill(pid_, signal);
}

int Child::wait() {
    if (reaped_)
        return exitCode_;
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    reaped_ = true;
    exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return exitCode_;
}

char Child::receiveFromParent() {
    char message = 0;
    if (::read(g_childReads, &message, 1) != 1)
        return 0;
    return message;
}

void Child::sendToParent(char message) {
    if (::write(g_childWrites, &message, 1) != 1)
        ::_exit(99);
}

}  // namespace kytest
