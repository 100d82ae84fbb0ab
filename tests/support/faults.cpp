// faults.cpp: replacement system calls that fail on a chosen call.
#include "support/faults.h"

#include <cstdlib>

namespace zor::test {
namespace {

struct Plan {
    int64_t failAt = 0;  // 0: never
    bool sticky = false;
    int error = 0;
    int64_t count = 0;
    bool fired = false;

    bool FailNow() {
        ++count;
        const bool fail = failAt > 0 && (count == failAt || (sticky && count > failAt));
        fired = fired || fail;
        return fail;
    }
};

Plan g_allocation, g_write, g_read;
HostSystemCalls g_saved;

void* Allocate(size_t size) { return g_allocation.FailNow() ? nullptr : g_saved.allocate(size); }
void* Reallocate(void* block, size_t size) { return g_allocation.FailNow() ? nullptr : g_saved.reallocate(block, size); }

ssize_t Write(int fd, const void* buffer, size_t count) {
    if (g_write.FailNow()) {
        errno = g_write.error;
        return -1;
    }
    return g_saved.write(fd, buffer, count);
}

ssize_t Read(int fd, void* buffer, size_t count) {
    if (g_read.FailNow()) {
        errno = g_read.error;
        return -1;
    }
    return g_saved.read(fd, buffer, count);
}

}  // namespace

AllocationFailure::AllocationFailure(int64_t failAt, bool sticky) {
    g_saved = *HostSystemCallTable();
    g_allocation = Plan{failAt, sticky, 0, 0, false};
    HostSystemCallTable()->allocate = Allocate;
    HostSystemCallTable()->reallocate = Reallocate;
}
AllocationFailure::~AllocationFailure() { *HostSystemCallTable() = g_saved; }
int64_t AllocationFailure::count() const { return g_allocation.count; }
bool AllocationFailure::fired() const { return g_allocation.fired; }

WriteFailure::WriteFailure(int64_t failAt, int error, bool sticky) {
    g_saved = *HostSystemCallTable();
    g_write = Plan{failAt, sticky, error, 0, false};
    HostSystemCallTable()->write = Write;
}
WriteFailure::~WriteFailure() { *HostSystemCallTable() = g_saved; }
bool WriteFailure::fired() const { return g_write.fired; }

ReadFailure::ReadFailure(int64_t failAt, int error, bool sticky) {
    g_saved = *HostSystemCallTable();
    g_read = Plan{failAt, sticky, error, 0, false};
    HostSystemCallTable()->read = Read;
}
ReadFailure::~ReadFailure() { *HostSystemCallTable() = g_saved; }
bool ReadFailure::fired() const { return g_read.fired; }

}  // namespace zor::test
