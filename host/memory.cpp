// memory.cpp: relocatable handles with master pointers, fixed blocks, and handle searching.
//
// A handle is the address of a master pointer. Each handle has a small record whose first field is
// that master pointer, so the record is found from the handle without a lookup. A new handle's bytes
// follow its record in the same allocation, so a handle costs one allocation; the first resize that
// must move them gives them a block of their own. Scramble mode moves
// every unlocked block on every resize, so that code keeping a data address across a resize reads
// freed memory and the sanitizer says so.
#include <cstring>

#include "host/host_internal.h"

namespace zor::host {
namespace {

constexpr uint32_t kHandleMagic = 0x7A6F7248;  // marks a live handle record
constexpr uint32_t kDeadMagic = 0xDEADBEEF;    // marks a disposed one

struct HandleRecord {
    char* data;      // the master pointer: the block's current address (never null)
    int32_t size;    // the block's size in bytes
    uint32_t magic;  // kHandleMagic while the handle lives
    int8_t state;    // HostHandleLocked while the block may not move
    bool inlineData; // the bytes still follow the record in its own allocation
};

int16_t g_memoryError = 0;
bool g_scrambleSet = false;  // scramble chosen by HostSetHeapScramble rather than the environment
bool g_scramble = false;
int64_t g_live = 0;

HandleRecord* RecordOf(HostHandle h) { return reinterpret_cast<HandleRecord*>(h); }

bool Valid(HostHandle h) { return h != nullptr && RecordOf(h)->magic == kHandleMagic; }

// Bytes for a block of `size`; a zero-size block still gets one byte, so *h is never null.
char* AllocateBytes(int32_t size) { return static_cast<char*>(Sys().allocate(size > 0 ? size : 1)); }

HostHandle NewHandle(int32_t size, bool clear) {
    if (size < 0) {
        SetMemoryError(HostMemFullErr);
        return nullptr;
    }
    auto* record = static_cast<HandleRecord*>(Sys().allocate(sizeof(HandleRecord) + (size > 0 ? size : 1)));
    if (record == nullptr) {
        SetMemoryError(HostMemFullErr);
        return nullptr;
    }
    record->data = reinterpret_cast<char*>(record + 1);
    record->inlineData = true;
    if (clear) std::memset(record->data, 0, size > 0 ? size : 1);
    record->size = size;
    record->magic = kHandleMagic;
    record->state = 0;
    ++g_live;
    SetMemoryError(HostNoErr);
    return reinterpret_cast<HostHandle>(record);
}

}  // namespace

void SetMemoryError(int16_t status) { g_memoryError = status; }

}  // namespace zor::host

using namespace zor::host;

extern "C" {

HostHandle HostNewHandle(int32_t size) { return NewHandle(size, false); }

HostHandle HostNewHandleClear(int32_t size) { return NewHandle(size, true); }

void HostSetHandleSize(HostHandle h, int32_t size) {
    if (!Valid(h)) {
        SetMemoryError(HostNilHandleErr);
        return;
    }
    if (size < 0) {
        SetMemoryError(HostMemFullErr);
        return;
    }
    HandleRecord* record = RecordOf(h);
    const bool locked = (record->state & HostHandleLocked) != 0;
    if (locked) {
        // A locked block stays where it is: it may shrink in place, never grow.
        if (size > record->size) {
            SetMemoryError(HostMemFullErr);
            return;
        }
        record->size = size;
        SetMemoryError(HostNoErr);
        return;
    }
    // Shrinking always succeeds, as on the classic memory manager: when the block cannot move, it
    // stays where it is with its new size.
    const bool shrinking = size <= record->size;
    if (HostHeapScramble()) {
        char* moved = AllocateBytes(size);
        if (moved == nullptr) {
            if (shrinking) record->size = size;
            SetMemoryError(shrinking ? HostNoErr : HostMemFullErr);
            return;
        }
        std::memcpy(moved, record->data, static_cast<size_t>(size < record->size ? size : record->size));
        std::memset(record->data, 0xA5, static_cast<size_t>(record->size > 0 ? record->size : 1));
        if (!record->inlineData) Sys().release(record->data);
        record->data = moved;
        record->inlineData = false;
    } else if (record->inlineData) {
        // Bytes that follow the record shrink in place, and move to a block of their own to grow.
        if (!shrinking) {
            char* moved = AllocateBytes(size);
            if (moved == nullptr) {
                SetMemoryError(HostMemFullErr);
                return;
            }
            std::memcpy(moved, record->data, static_cast<size_t>(record->size));
            record->data = moved;
            record->inlineData = false;
        }
    } else {
        char* moved = static_cast<char*>(Sys().reallocate(record->data, size > 0 ? size : 1));
        if (moved == nullptr) {
            if (shrinking) record->size = size;
            SetMemoryError(shrinking ? HostNoErr : HostMemFullErr);
            return;
        }
        record->data = moved;
    }
    record->size = size;
    SetMemoryError(HostNoErr);
}

int32_t HostGetHandleSize(HostHandle h) {
    if (!Valid(h)) {
        SetMemoryError(HostNilHandleErr);
        return 0;
    }
    SetMemoryError(HostNoErr);
    return RecordOf(h)->size;
}

void HostDisposeHandle(HostHandle h) {
    if (!Valid(h)) {
        SetMemoryError(h == nullptr ? HostNoErr : HostNilHandleErr);
        return;
    }
    HandleRecord* record = RecordOf(h);
    if (!record->inlineData) Sys().release(record->data);
    record->magic = kDeadMagic;
    record->data = nullptr;
    Sys().release(record);
    --g_live;
    SetMemoryError(HostNoErr);
}

void HostLockHandle(HostHandle h) {
    if (Valid(h)) RecordOf(h)->state |= HostHandleLocked;
}

void HostUnlockHandle(HostHandle h) {
    if (Valid(h)) RecordOf(h)->state &= ~HostHandleLocked;
}

int8_t HostGetHandleState(HostHandle h) {
    if (!Valid(h)) {
        SetMemoryError(HostNilHandleErr);
        return 0;
    }
    SetMemoryError(HostNoErr);
    return RecordOf(h)->state;
}

void HostSetHandleState(HostHandle h, int8_t state) {
    if (Valid(h)) RecordOf(h)->state = state;
}

int16_t HostCopyHandle(HostHandle* h) {
    if (h == nullptr || !Valid(*h)) {
        SetMemoryError(HostNilHandleErr);
        return HostNilHandleErr;
    }
    const int32_t size = RecordOf(*h)->size;
    HostHandle copy = NewHandle(size, false);
    if (copy == nullptr) return HostMemFullErr;
    std::memcpy(*copy, **h, static_cast<size_t>(size));
    *h = copy;
    return HostNoErr;
}

void* HostNewBlock(int32_t size) {
    if (size < 0) {
        SetMemoryError(HostMemFullErr);
        return nullptr;
    }
    void* block = Sys().allocate(size > 0 ? size : 1);
    SetMemoryError(block ? HostNoErr : HostMemFullErr);
    if (block) ++g_live;
    return block;
}

void* HostNewBlockClear(int32_t size) {
    void* block = HostNewBlock(size);
    if (block) std::memset(block, 0, size > 0 ? size : 1);
    return block;
}

void HostDisposeBlock(void* block) {
    if (block == nullptr) return;
    Sys().release(block);
    --g_live;
    SetMemoryError(HostNoErr);
}

int16_t HostMemoryError(void) { return g_memoryError; }

void HostCopyBytes(const void* source, void* target, int32_t count) {
    if (count > 0) std::memmove(target, source, static_cast<size_t>(count));
}

int32_t HostSearchHandle(HostHandle h, int32_t start, const void* target, int32_t targetLength,
                         const void* replacement, int32_t replacementLength) {
    if (!Valid(h) || start < 0 || targetLength < 0 || replacementLength < 0) return -1;
    const int32_t size = RecordOf(h)->size;
    if (start > size || targetLength > size - start) return -1;
    const char* data = *h;
    const char* found = nullptr;
    if (targetLength == 0) {
        found = data + start;
    } else {
        const auto* first = static_cast<const char*>(target);
        const char* p = data + start;
        const char* last = data + size - targetLength;
        while (p <= last) {
            p = static_cast<const char*>(std::memchr(p, *first, static_cast<size_t>(last - p + 1)));
            if (p == nullptr) break;
            if (std::memcmp(p, target, static_cast<size_t>(targetLength)) == 0) {
                found = p;
                break;
            }
            ++p;
        }
    }
    if (found == nullptr) return -1;
    const int32_t offset = static_cast<int32_t>(found - data);
    if (replacement == nullptr) return offset;

    // Replace: grow first (moving the tail after), or move the tail first and then shrink.
    const int32_t tail = size - offset - targetLength;
    const int64_t newSize = static_cast<int64_t>(size) - targetLength + replacementLength;
    if (newSize > INT32_MAX) return -1;
    if (replacementLength > targetLength) {
        HostSetHandleSize(h, static_cast<int32_t>(newSize));
        if (g_memoryError != HostNoErr) return -1;
        std::memmove(*h + offset + replacementLength, *h + offset + targetLength, static_cast<size_t>(tail));
        std::memcpy(*h + offset, replacement, static_cast<size_t>(replacementLength));
    } else {
        std::memcpy(*h + offset, replacement, static_cast<size_t>(replacementLength));
        std::memmove(*h + offset + replacementLength, *h + offset + targetLength, static_cast<size_t>(tail));
        if (replacementLength != targetLength) HostSetHandleSize(h, static_cast<int32_t>(newSize));
    }
    return offset + replacementLength;
}

void HostSetHeapScramble(bool on) {
    g_scrambleSet = true;
    g_scramble = on;
}

bool HostHeapScramble(void) {
    if (!g_scrambleSet) {
        g_scrambleSet = true;
        g_scramble = EnvironmentFlag("ZOR_HEAP_SCRAMBLE");
    }
    return g_scramble;
}

int64_t HostLiveAllocations(void) { return g_live; }

}  // extern "C"
