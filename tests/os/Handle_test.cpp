#include "os/Handle.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <future>
#include <random>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "os/LastError.h"
#include "tests/os/sync/SyncTestSupport.h"

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

// Final, so that a lookup tells it by its type alone.
class FinalCountingObject final : public CountingObject {
public:
    using CountingObject::CountingObject;
};

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

TEST(Handle, MakeRefusesNull) {
    kyos::setLastError(ERROR_SUCCESS);
    EXPECT_EQ(kyos::makeHandle(nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(kyos::lastError(), ERROR_INVALID_PARAMETER);
}

TEST(Handle, AFullTableRefusesTheObjectAndTakesAnotherOnceAHandleCloses) {
    std::atomic<int> closes{0};
    std::vector<HANDLE> taken;
    kyos::closeHandle(makeCounting(&closes));  // a slot to be taken again once full
    kyos::detail::limitHandleTableForTesting(true);
    HANDLE refused = nullptr;
    DWORD error = ERROR_SUCCESS;
    for (;;) {
        HANDLE handle = makeCounting(&closes);
        if (handle == INVALID_HANDLE_VALUE) {
            refused = handle;
            error = kyos::lastError();
            break;
        }
        taken.push_back(handle);
    }
    const std::size_t takenWhenFull = taken.size();
    HANDLE afterClose = INVALID_HANDLE_VALUE;
    if (!taken.empty()) {
        kyos::closeHandle(taken.back());
        taken.pop_back();
        afterClose = makeCounting(&closes);
    }
    kyos::detail::limitHandleTableForTesting(false);
    EXPECT_EQ(refused, INVALID_HANDLE_VALUE);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_GE(takenWhenFull, 1u);  // the free slot was taken before the table counted as full
    EXPECT_NE(afterClose, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(kyos::lookupHandleAs<CountingObject>(afterClose));
    kyos::closeHandle(afterClose);
    for (HANDLE handle : taken)
        kyos::closeHandle(handle);
}

// Fails with ERROR_INVALID_HANDLE through every way in: both lookups and the close.
void expectNotAHandle(HANDLE value) {
    EXPECT_FALSE(kyos::isHandleOpen(value));
    kyos::setLastError(ERROR_SUCCESS);
    EXPECT_FALSE(kyos::lookupHandleRef(value));
    EXPECT_EQ(kyos::lastError(), ERROR_INVALID_HANDLE);
    kyos::setLastError(ERROR_SUCCESS);
    EXPECT_FALSE(kyos::lookupHandleAs<CountingObject>(value));
    EXPECT_EQ(kyos::lastError(), ERROR_INVALID_HANDLE);
    kyos::setLastError(ERROR_SUCCESS);
    EXPECT_FALSE(kyos::closeHandle(value));
    EXPECT_EQ(kyos::lastError(), ERROR_INVALID_HANDLE);
}

// The question takes no use of the object (a close right after releases it at once) and
// leaves the last error alone. Values that are not open handles are asked in
// expectNotAHandle().
TEST(Handle, IsHandleOpenTakesNoUse) {
    std::atomic<int> closes{0};
    HANDLE handle = makeCounting(&closes);
    kyos::setLastError(ERROR_MORE_DATA);
    EXPECT_TRUE(kyos::isHandleOpen(handle));
    EXPECT_FALSE(kyos::isHandleOpen(nullptr));
    EXPECT_EQ(kyos::lastError(), ERROR_MORE_DATA);
    ASSERT_TRUE(kyos::closeHandle(handle));
    EXPECT_EQ(closes.load(), 1);
    EXPECT_FALSE(kyos::isHandleOpen(handle));
}

TEST(Handle, ClosedHandleStaysInvalidAfterItsSlotIsReused) {
    constexpr int kCycles = 1000;
    std::atomic<int> closes{0};
    std::set<HANDLE> issued;
    std::vector<HANDLE> closed;
    for (int i = 0; i < kCycles; ++i) {
        HANDLE handle = makeCounting(&closes);
        ASSERT_TRUE(issued.insert(handle).second) << "a closed handle's value came back";
        // Not null, not -1, not a small number or a predefined registry key.
        EXPECT_GT(reinterpret_cast<std::uintptr_t>(handle), std::uintptr_t{0xFFFFFFFF});
        EXPECT_NE(handle, INVALID_HANDLE_VALUE);
        ASSERT_TRUE(kyos::closeHandle(handle));
        closed.push_back(handle);
    }
    HANDLE current = makeCounting(&closes);
    for (HANDLE stale : closed)
        expectNotAHandle(stale);
    EXPECT_TRUE(kyos::lookupHandleRef<CountingObject>(current));
    EXPECT_EQ(closes.load(), kCycles);  // no stale close reached the current object
    EXPECT_TRUE(kyos::closeHandle(current));
}

TEST(Handle, ValuesThatWereNeverHandlesFail) {
    // Checked in a table that has seen handles come and go, not only a fresh one.
    std::atomic<int> earlierCloses{0};
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(kyos::closeHandle(makeCounting(&earlierCloses)));
    std::atomic<int> closes{0};
    HANDLE live = makeCounting(&closes);
    // An object's own address was what a handle used to be.
    CountingObject neverEntered(&closes, ERROR_SUCCESS);
    int onTheStack = 0;
    std::vector<HANDLE> values = {
        nullptr,
        INVALID_HANDLE_VALUE,
        reinterpret_cast<HANDLE>(std::uintptr_t{1}),
        reinterpret_cast<HANDLE>(std::uintptr_t{4}),
        reinterpret_cast<HANDLE>(std::uintptr_t{0x80000000}),
        reinterpret_cast<HANDLE>(std::uintptr_t{0x80000002}),
        static_cast<HANDLE>(static_cast<kyos::HandleObject*>(&neverEntered)),
        &onTheStack,
        reinterpret_cast<HANDLE>(~std::uintptr_t{0} - 1),
    };
    // Every single-bit corruption of a live value, and every byte-aligned run of it set to
    // all ones or all zeros.
    std::uintptr_t liveBits = reinterpret_cast<std::uintptr_t>(live);
    for (int bit = 0; bit < 64; ++bit)
        values.push_back(reinterpret_cast<HANDLE>(liveBits ^ (std::uintptr_t{1} << bit)));
    for (int low = 0; low < 64; low += 8) {
        for (int high = low + 8; high <= 64; high += 8) {
            std::uintptr_t run =
                (high == 64 ? ~std::uintptr_t{0} : (std::uintptr_t{1} << high) - 1) &
                ~((std::uintptr_t{1} << low) - 1);
            for (std::uintptr_t damaged : {liveBits | run, liveBits & ~run}) {
                if (damaged != liveBits)
                    values.push_back(reinterpret_cast<HANDLE>(damaged));
            }
        }
    }
    for (HANDLE value : values) {
        SCOPED_TRACE(value);
        expectNotAHandle(value);
    }
    EXPECT_EQ(closes.load(), 0);
    EXPECT_TRUE(kyos::lookupHandleRef<CountingObject>(live));
    EXPECT_TRUE(kyos::closeHandle(live));
    EXPECT_EQ(closes.load(), 1);
}

template <class T>
bool refFinds(HANDLE handle) {
    return static_cast<bool>(kyos::lookupHandleRef<T>(handle));
}

template <class T>
bool sharedFinds(HANDLE handle) {
    return static_cast<bool>(kyos::lookupHandleAs<T>(handle));
}

TEST(Handle, LookupChecksTheKindThroughEitherReference) {
    std::atomic<int> closes{0};
    HANDLE counting = makeCounting(&closes);
    HANDLE finalCounting =
        kyos::makeHandle(std::make_unique<FinalCountingObject>(&closes, ERROR_SUCCESS));
    HANDLE other = kyos::makeHandle(std::make_unique<OtherObject>());
    struct Case {
        const char* what;
        HANDLE handle;
        bool (*byRef)(HANDLE);
        bool (*byShared)(HANDLE);
        bool found;
    };
    const Case cases[] = {
        {"counting as itself", counting, refFinds<CountingObject>, sharedFinds<CountingObject>,
         true},
        {"final as its base", finalCounting, refFinds<CountingObject>, sharedFinds<CountingObject>,
         true},
        {"final as itself", finalCounting, refFinds<FinalCountingObject>,
         sharedFinds<FinalCountingObject>, true},
        {"base as a final subclass", counting, refFinds<FinalCountingObject>,
         sharedFinds<FinalCountingObject>, false},
        {"other as counting", other, refFinds<CountingObject>, sharedFinds<CountingObject>, false},
        {"other as final", other, refFinds<FinalCountingObject>, sharedFinds<FinalCountingObject>,
         false},
        {"other as any object", other, refFinds<kyos::HandleObject>,
         sharedFinds<kyos::HandleObject>, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        kyos::setLastError(ERROR_SUCCESS);
        EXPECT_EQ(c.byRef(c.handle), c.found);
        EXPECT_EQ(kyos::lastError(), c.found ? ERROR_SUCCESS : ERROR_INVALID_HANDLE);
        kyos::setLastError(ERROR_SUCCESS);
        EXPECT_EQ(c.byShared(c.handle), c.found);
        EXPECT_EQ(kyos::lastError(), c.found ? ERROR_SUCCESS : ERROR_INVALID_HANDLE);
    }
    // A lookup refused for its kind left no use behind: the close releases at once.
    EXPECT_TRUE(kyos::closeHandle(counting));
    EXPECT_TRUE(kyos::closeHandle(finalCounting));
    EXPECT_EQ(closes.load(), 2);
    EXPECT_TRUE(kyos::closeHandle(other));
}

// Records the thread that released it.
class ThreadRecordingObject : public kyos::HandleObject {
public:
    ThreadRecordingObject(std::atomic<int>* closes, std::thread::id* closedOn)
        : closes_(closes), closedOn_(closedOn) {}
    DWORD close() noexcept override {
        *closedOn_ = std::this_thread::get_id();
        closes_->fetch_add(1);
        return ERROR_SUCCESS;
    }
    int value = 42;

private:
    std::atomic<int>* closes_;
    std::thread::id* closedOn_;
};

TEST(Handle, CloseDuringACallLeavesTheReleaseToTheLastUser) {
    std::atomic<int> closes{0};
    std::thread::id closedOn;
    HANDLE handle = kyos::makeHandle(std::make_unique<ThreadRecordingObject>(&closes, &closedOn));
    std::promise<void> inside;
    std::promise<void> closed;
    int closesSeenInside = -1;
    int valueSeenInside = 0;
    std::thread user([&] {
        kyos::HandleRef<ThreadRecordingObject> taken =
            kyos::lookupHandleRef<ThreadRecordingObject>(handle);
        // A move hands the use on without giving it back.
        kyos::HandleRef<ThreadRecordingObject> object = std::move(taken);
        inside.set_value();
        closed.get_future().wait();
        closesSeenInside = closes.load();
        valueSeenInside = object->value;  // memory still the object's
        object.reset();
    });
    inside.get_future().wait();
    EXPECT_TRUE(kyos::closeHandle(handle));  // returns without waiting for the user
    expectNotAHandle(handle);                // closed for everyone else at once
    closed.set_value();
    std::thread::id userId = user.get_id();
    user.join();
    EXPECT_EQ(closesSeenInside, 0);
    EXPECT_EQ(valueSeenInside, 42);
    EXPECT_EQ(closes.load(), 1);
    EXPECT_EQ(closedOn, userId);
}

TEST(Handle, OnlyOneOfRacingClosersCloses) {
    constexpr int kRounds = 50;
    constexpr int kClosers = 4;
    std::atomic<int> closes{0};
    for (int round = 0; round < kRounds; ++round) {
        HANDLE handle = makeCounting(&closes);
        std::atomic<bool> go{false};
        std::atomic<int> succeeded{0};
        std::atomic<int> wrongError{0};
        std::vector<std::thread> closers;
        for (int t = 0; t < kClosers; ++t) {
            closers.emplace_back([&] {
                while (!go.load())
                    std::this_thread::yield();
                if (kyos::closeHandle(handle))
                    succeeded.fetch_add(1);
                else if (kyos::lastError() != ERROR_INVALID_HANDLE)
                    wrongError.fetch_add(1);
            });
        }
        go.store(true);
        for (std::thread& closer : closers)
            closer.join();
        EXPECT_EQ(succeeded.load(), 1);
        EXPECT_EQ(wrongError.load(), 0);
    }
    EXPECT_EQ(closes.load(), kRounds);
}

// Opens one more handle and closes another from inside its own release.
class ChainObject : public kyos::HandleObject {
public:
    ChainObject(HANDLE next, std::atomic<int>* closes) : next_(next), closes_(closes) {}
    DWORD close() noexcept override {
        HANDLE fresh = makeCounting(closes_);
        bool ok = kyos::lookupHandleRef<CountingObject>(fresh) && kyos::closeHandle(fresh);
        if (next_ != nullptr)
            ok = kyos::closeHandle(next_) && ok;
        closes_->fetch_add(1);
        return ok ? ERROR_SUCCESS : ERROR_INVALID_FUNCTION;
    }

private:
    HANDLE next_;
    std::atomic<int>* closes_;
};

TEST(Handle, ReleaseMayOpenAndCloseOtherHandles) {
    constexpr int kLinks = 3;
    std::atomic<int> closes{0};
    HANDLE head = nullptr;
    for (int i = 0; i < kLinks; ++i)
        head = kyos::makeHandle(std::make_unique<ChainObject>(head, &closes));
    EXPECT_TRUE(kyos::closeHandle(head));
    EXPECT_EQ(closes.load(), 2 * kLinks);  // each link and the handle it opened
}

// What the threads of the stress test saw; every figure but `made`, `closes` and
// `lookups` must end at zero.
struct StressCounts {
    std::atomic<int> made{0};
    std::atomic<int> closes{0};
    std::atomic<int> lookups{0};
    std::atomic<int> wrongObject{0};
    std::atomic<int> closedInUse{0};
    std::atomic<int> badRelease{0};
    std::atomic<int> ownLookupFailed{0};
    std::atomic<int> closeFailed{0};
    std::atomic<int> wrongError{0};
};

// Knows its own handle and checks at its release that nobody is inside a call on it.
class TrackedObject : public kyos::HandleObject {
public:
    explicit TrackedObject(StressCounts* counts) : counts_(counts) {}
    ~TrackedObject() override {
        if (closes_.load() != 1)
            counts_->badRelease.fetch_add(1);
    }
    DWORD close() noexcept override {
        if (inside.load() != 0)
            counts_->closedInUse.fetch_add(1);
        if (closes_.fetch_add(1) != 0)
            counts_->badRelease.fetch_add(1);
        counts_->closes.fetch_add(1);
        return ERROR_SUCCESS;
    }

    std::atomic<HANDLE> self{nullptr};
    std::atomic<int> inside{0};

private:
    StressCounts* counts_;
    std::atomic<int> closes_{0};
};

// A call on the handle: true when the lookup found it.
bool useTracked(HANDLE handle, bool shared, StressCounts* counts) {
    auto use = [&](TrackedObject* object) {
        object->inside.fetch_add(1);
        if (object->self.load() != handle)
            counts->wrongObject.fetch_add(1);
        std::this_thread::yield();
        object->inside.fetch_sub(1);
        counts->lookups.fetch_add(1);
    };
    if (shared) {
        std::shared_ptr<TrackedObject> object = kyos::lookupHandleAs<TrackedObject>(handle);
        if (object)
            use(object.get());
        else if (kyos::lastError() != ERROR_INVALID_HANDLE)
            counts->wrongError.fetch_add(1);
        return static_cast<bool>(object);
    }
    kyos::HandleRef<TrackedObject> object = kyos::lookupHandleRef<TrackedObject>(handle);
    if (object)
        use(object.get());
    else if (kyos::lastError() != ERROR_INVALID_HANDLE)
        counts->wrongError.fetch_add(1);
    return static_cast<bool>(object);
}

// Threads open handles, swap them through a shelf that all threads share, look up
// whatever is on the shelf (often a handle another thread is closing, or one closed
// long ago whose slot holds a new handle) and close what they take off it. Whatever the
// interleaving, every object is released once, never under a user, and no lookup finds
// another handle's object.
TEST(Handle, StressLookupsRaceClosesAndReuse) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 3000;
    constexpr std::size_t kShelfSize = 16;
    StressCounts counts;
    std::atomic<HANDLE> shelf[kShelfSize] = {};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::minstd_rand random(static_cast<unsigned>(t) + 1);
            for (int round = 0; round < kRounds; ++round) {
                auto object = std::make_unique<TrackedObject>(&counts);
                TrackedObject* raw = object.get();
                HANDLE made = kyos::makeHandle(std::move(object));
                raw->self.store(made);
                counts.made.fetch_add(1);
                bool shared = round % 4 == 0;
                if (!useTracked(made, shared, &counts))
                    counts.ownLookupFailed.fetch_add(1);
                HANDLE taken = shelf[random() % kShelfSize].exchange(made);
                useTracked(shelf[random() % kShelfSize].load(), !shared, &counts);
                if (taken == nullptr)
                    continue;
                // Only the thread that took a handle off the shelf closes it.
                if (!useTracked(taken, shared, &counts))
                    counts.ownLookupFailed.fetch_add(1);
                if (!kyos::closeHandle(taken))
                    counts.closeFailed.fetch_add(1);
                useTracked(taken, shared, &counts);  // closed now: must fail
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    for (std::atomic<HANDLE>& place : shelf) {
        HANDLE left = place.exchange(nullptr);
        if (left != nullptr && !kyos::closeHandle(left))
            counts.closeFailed.fetch_add(1);
    }
    EXPECT_EQ(counts.made.load(), kThreads * kRounds);
    EXPECT_EQ(counts.closes.load(), counts.made.load());
    EXPECT_GE(counts.lookups.load(), 2 * kThreads * kRounds - static_cast<int>(kShelfSize));
    EXPECT_EQ(counts.wrongObject.load(), 0);
    EXPECT_EQ(counts.closedInUse.load(), 0);
    EXPECT_EQ(counts.badRelease.load(), 0);
    EXPECT_EQ(counts.ownLookupFailed.load(), 0);
    EXPECT_EQ(counts.closeFailed.load(), 0);
    EXPECT_EQ(counts.wrongError.load(), 0);
}

// Forks while other threads open, look up and close handles: the child's table is
// neither locked nor broken, handles open at the fork are open in the child, and what
// the child closes stays open in the parent.
TEST(Handle, ForkedChildHasAWorkingTable) {
    constexpr int kForks = 20;
    constexpr unsigned kChildSeconds = 20;
    std::atomic<int> closes{0};
    HANDLE inherited = makeCounting(&closes);
    std::atomic<bool> stop{false};
    std::atomic<int> churnCloses{0};
    std::vector<std::thread> churners;
    for (int t = 0; t < 2; ++t) {
        churners.emplace_back([&] {
            while (!stop.load()) {
                HANDLE handle = makeCounting(&churnCloses);
                kyos::lookupHandleRef<CountingObject>(handle);
                kyos::closeHandle(handle);
            }
        });
    }
    for (int round = 0; round < kForks; ++round) {
        kytest::Child child([&] {
            ::alarm(kChildSeconds);  // a table left locked by the fork would hang here
            int failures = 0;
            if (!kyos::lookupHandleRef<CountingObject>(inherited))
                failures |= 1;
            std::atomic<int> childCloses{0};
            HANDLE own = makeCounting(&childCloses);
            if (!kyos::lookupHandleRef<CountingObject>(own))
                failures |= 2;
            if (!kyos::closeHandle(own) || childCloses.load() != 1)
                failures |= 4;
            if (!kyos::closeHandle(inherited) || closes.load() != 1)
                failures |= 8;
            if (kyos::lookupHandleRef(inherited))
                failures |= 16;
            return failures;
        });
        EXPECT_EQ(child.wait(), 0) << "round " << round;
    }
    stop.store(true);
    for (std::thread& churner : churners)
        churner.join();
    EXPECT_TRUE(kyos::lookupHandleRef<CountingObject>(inherited));
    EXPECT_EQ(closes.load(), 0);
    EXPECT_TRUE(kyos::closeHandle(inherited));
}

}  // namespace
