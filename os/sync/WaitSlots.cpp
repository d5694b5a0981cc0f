#include "os/sync/WaitSlots.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "os/LastError.h"
#include "os/sync/Futex.h"
#include "os/sync/ProcessStamp.h"
#include "os/sync/SyncNames.h"

namespace kyos::sync_internal {
namespace {

constexpr const char kTableName[] = "/ky.sync.v1.waitslots";
constexpr std::size_t kTableBytes = sizeof(WaitSlot) * kWaitSlotCount;
constexpr mode_t kTableMode = 0666;

static_assert(sizeof(WaitSlot) == 16, "the table's layout is shared by every process");

// Creates the table complete (zeroed slots are free slots) under no name and then links it
// in, so that no process ever maps a table that is not its full size.
int createTable() {
    int fd = ::open(kShmDirectory, O_TMPFILE | O_RDWR | O_CLOEXEC, kTableMode);
    if (fd < 0)
        return -1;
    std::string procPath = "/proc/self/fd/" + std::to_string(fd);
    std::string path = storagePath(kTableName);
    if (::fchmod(fd, kTableMode) != 0 || ::ftruncate(fd, kTableBytes) != 0 ||
        (::linkat(AT_FDCWD, procPath.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) != 0 &&
         errno != EEXIST)) {
        int err = errno;
        ::close(fd);
        errno = err;
        return -1;
    }
    ::close(fd);
    return 0;
}

WaitSlot* mapTable() {
    for (int attempt = 0; attempt < 2; ++attempt) {
        // As shm_open() would, but with its guards spelt out: no link is followed, and a
        // fifo planted under the name does not block.
        int fd =
            ::open(storagePath(kTableName).c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0) {
            if (errno != ENOENT || createTable() != 0)
                break;
            continue;
        }
        struct stat st;
        void* memory = MAP_FAILED;
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
            static_cast<std::size_t>(st.st_size) >= kTableBytes)
            memory = ::mmap(nullptr, kTableBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        else
            errno = EINVAL;
        int err = errno;
        ::close(fd);
        errno = err;
        return memory == MAP_FAILED ? nullptr : static_cast<WaitSlot*>(memory);
    }
    return nullptr;
}

}  // namespace

WaitSlotTable* WaitSlotTable::instance() {
    // Mapped once and kept for the life of the process (and of forked children, which
    // share the mapping). No lock: a fork taken while another thread held one would leave
    // the child unable to wait; two threads that race both map it and the loser unmaps.
    static std::atomic<WaitSlotTable*> table{nullptr};
    WaitSlotTable* current = table.load(std::memory_order_acquire);
    if (current != nullptr)
        return current;
    WaitSlot* slots = mapTable();
    if (slots == nullptr) {
        setLastErrorFromErrno(errno);
        return nullptr;
    }
    WaitSlotTable* created = new WaitSlotTable(slots);
    if (table.compare_exchange_strong(current, created, std::memory_order_acq_rel))
        return created;
    ::munmap(slots, kTableBytes);
    delete created;
    return current;
}

std::uint32_t WaitSlotTable::acquire() {
    ProcessStamp self = currentProcess();
    std::uint32_t slot = tryAcquire(self.pid, self.startTicks);
    if (slot == kWaitSlotCount) {
        reclaimAbandoned();
        slot = tryAcquire(self.pid, self.startTicks);
    }
    if (slot == kWaitSlotCount)
        setLastError(ERROR_NO_SYSTEM_RESOURCES);
    return slot;
}

std::uint32_t WaitSlotTable::tryAcquire(std::int32_t pid, std::uint64_t start) {
    // Threads start looking at different places so that they seldom race for one slot.
    std::uint32_t first = static_cast<std::uint32_t>(
        std::hash<std::thread::id>()(std::this_thread::get_id()) % kWaitSlotCount);
    for (std::uint32_t i = 0; i < kWaitSlotCount; ++i) {
        std::uint32_t slot = (first + i) % kWaitSlotCount;
        std::int32_t expected = 0;
        if (slots_[slot].ownerPid.load(std::memory_order_relaxed) == 0 &&
            slots_[slot].ownerPid.compare_exchange_strong(expected, pid)) {
            slots_[slot].ownerStart.store(start == 0 ? 1 : start);
            return slot;
        }
    }
    return kWaitSlotCount;
}

void WaitSlotTable::release(std::uint32_t slot) {
    slots_[slot].ownerStart.store(0);
    slots_[slot].ownerPid.store(0);
}

void WaitSlotTable::reclaimAbandoned() {
    for (std::uint32_t slot = 0; slot < kWaitSlotCount; ++slot) {
        std::int32_t pid = slots_[slot].ownerPid.load();
        if (pid == 0)
            continue;
        std::uint64_t start = slots_[slot].ownerStart.load();
        // 0: taken a moment ago and not stamped yet; only a missing pid is conclusive.
        ProcessStamp owner{pid, start == 1 ? 0 : start};
        if (!processEnded(owner))
            continue;
        if (slots_[slot].ownerStart.compare_exchange_strong(start, 0))
            slots_[slot].ownerPid.compare_exchange_strong(pid, 0);
    }
}

void WaitSlotTable::wake(std::uint32_t slot) {
    slots_[slot].word.fetch_add(1, std::memory_order_release);
    futexWake(&slots_[slot].word, 1);
}

}  // namespace kyos::sync_internal
