// faults.h: makes the host layer's Nth allocation, read or write fail, through its system-call table.
#ifndef ZOR_TESTS_FAULTS_H
#define ZOR_TESTS_FAULTS_H

#include <cerrno>
#include <cstdint>

#include "zor/host_toolbox.h"

namespace zor::test {

// While alive, allocation number `failAt` (counting from 1, allocations and growing reallocations
// alike) fails, and so does every later one when `sticky`. The table is restored on destruction.
class AllocationFailure {
public:
    explicit AllocationFailure(int64_t failAt, bool sticky = false);
    ~AllocationFailure();
    AllocationFailure(const AllocationFailure&) = delete;
    AllocationFailure& operator=(const AllocationFailure&) = delete;
    // Allocations seen so far, and whether one was made to fail.
    int64_t count() const;
    bool fired() const;
};

// While alive, write call number `failAt` (counting from 1) fails with `error` (ENOSPC: disk full,
// EIO: input/output error), and every later one when `sticky`.
class WriteFailure {
public:
    WriteFailure(int64_t failAt, int error, bool sticky = true);
    ~WriteFailure();
    WriteFailure(const WriteFailure&) = delete;
    WriteFailure& operator=(const WriteFailure&) = delete;
    bool fired() const;
};

// The same for read calls.
class ReadFailure {
public:
    ReadFailure(int64_t failAt, int error, bool sticky = true);
    ~ReadFailure();
    ReadFailure(const ReadFailure&) = delete;
    ReadFailure& operator=(const ReadFailure&) = delete;
    bool fired() const;
};

}  // namespace zor::test

#endif  // ZOR_TESTS_FAULTS_H
