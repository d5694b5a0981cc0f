#include "os/Handle.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include "os/LastError.h"

namespace {

// Counts its releases and reports the code it was given.
class CountingObject : public kyos::HandleObject {
public:
    CountingObject(std::atomic<int>* closes, DWORD result) : closes_(closes), result_(result) {}
    DWORD close() noexcept override {
        closes_->fetch_add(1);
        return result_;
    }

private:
    std::atomic<int>* closes_;
    DWORD result_;
};

class OtherObject : public kyos::HandleObject {};

HANDLE makeCounting(std::atomic<int>* closes, DWORD result = ERROR_SUCCESS) {
    return kyos::makeHandle(std::make_unique<CountingObject>(closes, result));
}

TEST(Handle, CloseRefusesHandlesThatAreNotOpen) {
    std::atomic<int> closes{0};
    HANDLE closed = makeCounting(&closes);
    ASSERT_TRUE(kyos::closeHandle(closed));
    for (HANDLE handle : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE, closed}) {
        kyos::setLastError(ERROR_SUCCESS);
        EXPECT_FALSE(kyos::closeHandle(handle));
        EXPECT_EQ(kyos::lastError(), ERROR_INVALID_HANDLE);
    }
    EXPECT_EQ(closes.load(), 1);  // the second close of the same handle released nothing
}

TEST(Handle, CloseReportsTheObjectsFailure) {
    std::atomic<int> closes{0};
    HANDLE handle = makeCounting(&closes, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(kyos::closeHandle(handle));
    EXPECT_EQ(kyos::lastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(closes.load(), 1);
    EXPECT_FALSE(kyos::lookupHandle(handle));  // closed all the same
}

TEST(Handle, ObjectInUseIsReleasedByItsLastUser) {
    std::atomic<int> closes{0};
    HANDLE handle = makeCounting(&closes);
    std::shared_ptr<CountingObject> inUse = kyos::lookupHandleAs<CountingObject>(handle);
    ASSERT_TRUE(inUse);
    EXPECT_TRUE(kyos::closeHandle(handle));
    EXPECT_EQ(closes.load(), 0);
    EXPECT_FALSE(kyos::lookupHandle(handle));
    inUse.reset();
    EXPECT_EQ(closes.load(), 1);
}

TEST(Handle, CloseWhileAnotherThreadIsInsideACall) {
    std::atomic<int> closes{0};
    HANDLE handle = makeCounting(&closes);
    std::promise<void> lookedUp;
    std::promise<void> closed;
    int closesSeenInside = -1;
    std::thread user([&] {
        std::shared_ptr<CountingObject> object = kyos::lookupHandleAs<CountingObject>(handle);
        lookedUp.set_value();
        closed.get_future().wait();
        closesSeenInside = closes.load();  // still usable: not released under the call
    });
    lookedUp.get_future().wait();
    EXPECT_TRUE(kyos::closeHandle(handle));
    closed.set_value();
    user.join();
    EXPECT_EQ(closesSeenInside, 0);
    EXPECT_EQ(closes.load(), 1);
}

TEST(Handle, LookupOfTheWrongKindFails) {
    HANDLE handle = kyos::makeHandle(std::make_unique<OtherObject>());
    kyos::setLastError(ERROR_SUCCESS);
    EXPECT_FALSE(kyos::lookupHandleAs<CountingObject>(handle));
    EXPECT_EQ(kyos::lastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(kyos::lookupHandleAs<OtherObject>(handle));
    EXPECT_TRUE(kyos::closeHandle(handle));
}

TEST(Handle, ThreadsOpenUseAndCloseAtOnce) {
    constexpr int kThreads = 4;
    constexpr int kHandlesPerThread = 500;
    std::atomic<int> closes{0};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kHandlesPerThread; ++i) {
                HANDLE handle = makeCounting(&closes);
                if (!kyos::lookupHandleAs<CountingObject>(handle))
                    failures.fetch_add(1);
                if (!kyos::closeHandle(handle))
                    failures.fetch_add(1);
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(closes.load(), kThreads * kHandlesPerThread);
}

}  // namespace
