// replace.cpp: ReplaceAll, in one pass over the block whatever the number of occurrences.
#include <cstring>

#include "text/text.h"

namespace zor::text {
namespace {

// The offset of the first occurrence of `search` in p[from, n), or n when there is none.
int32_t Find(const char* p, int32_t from, int32_t n, std::string_view search) {
    const int32_t k = static_cast<int32_t>(search.size());
    int32_t at = from;
    while (at <= n - k) {
        const void* hit = std::memchr(p + at, search[0], static_cast<size_t>(n - k - at + 1));
        if (hit == nullptr) break;
        at = static_cast<int32_t>(static_cast<const char*>(hit) - p);
        if (std::memcmp(p + at, search.data(), static_cast<size_t>(k)) == 0) return at;
        ++at;
    }
    return n;
}

// Copies p[0, n) into out with every occurrence replaced, stopping before the first piece that would
// pass `limit`. out may be p itself when the replacement is not longer than the search. Returns the
// number of bytes written.
int32_t Rewrite(const char* p, int32_t n, std::string_view search, std::string_view replacement,
                char* out, int32_t limit) {
    const int32_t k = static_cast<int32_t>(search.size());
    const int32_t r = static_cast<int32_t>(replacement.size());
    int32_t read = 0, written = 0;
    while (read < n) {
        const int32_t at = Find(p, read, n, search);
        int32_t plain = at - read;
        if (plain > limit - written) plain = limit - written;
        std::memmove(out + written, p + read, static_cast<size_t>(plain));
        written += plain;
        if (plain < at - read || at == n) break;
        if (r > limit - written) break;
        std::memmove(out + written, replacement.data(), static_cast<size_t>(r));
        written += r;
        read = at + k;
    }
    return written;
}

}  // namespace

int32_t ReplaceAll(HostHandle h, std::string_view search, std::string_view replacement, int32_t limit) {
    if (h == nullptr || *h == nullptr) return -1;
    const int32_t size = HostGetHandleSize(h);
    if (limit < 0) limit = 0;
    if (search.empty() || size == 0) return size;

    if (replacement.size() <= search.size()) {
        // The output never overtakes the input: rewrite in place, then shrink.
        const int32_t written = Rewrite(*h, size, search, replacement, *h, limit);
        if (written != size) HostSetHandleSize(h, written);
        return HostGetHandleSize(h);
    }

    // Growing: count the occurrences to size a scratch block, rewrite into it, copy back.
    int32_t count = 0;
    for (int32_t at = Find(*h, 0, size, search); at < size;
         at = Find(*h, at + static_cast<int32_t>(search.size()), size, search))
        ++count;
    if (count == 0) return size;
    int64_t full = size + static_cast<int64_t>(count) * static_cast<int64_t>(replacement.size() - search.size());
    if (full > limit) full = limit;
    HostHandle scratch = HostNewHandle(static_cast<int32_t>(full));
    if (scratch == nullptr) return -1;
    const int32_t written = Rewrite(*h, size, search, replacement, *scratch, static_cast<int32_t>(full));
    int32_t result = -1;
    HostSetHandleSize(h, written);
    if (HostMemoryError() == HostNoErr) {
        std::memcpy(*h, *scratch, static_cast<size_t>(written));
        result = written;
    }
    HostDisposeHandle(scratch);
    return result;
}

}  // namespace zor::text
