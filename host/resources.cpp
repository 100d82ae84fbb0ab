// resources.cpp: the plug-in's named resources, read from a file in the classic resource-fork layout.
//
// Layout (all numbers big-endian): a 16-byte header (data offset, map offset, data length, map
// length); the data area, each resource a 4-byte length and its bytes; the map: 16 bytes, 4 for a
// handle, 2 for a file reference, 2 attributes, then the offsets (from the map's start) of the type
// list and of the name list. The type list is a count less one, then per type its code, its
// resource count less one and the offset (from the type list's start) of its reference list. A
// reference is an ID, the offset of its name in the name list (-1: none), an attribute byte, a
// 3-byte offset of its data in the data area, and 4 reserved bytes. Names are counted strings.
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host/host_internal.h"
#include "host/resources.h"

namespace zor::host {
namespace {

uint32_t Read32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}
uint32_t Read24(const unsigned char* p) { return static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[2]; }
uint32_t Read16(const unsigned char* p) { return static_cast<uint32_t>(p[0]) << 8 | p[1]; }

struct CachedResource {
    std::string path;  // the file it came from
    uint32_t type;
    std::string name;
    HostHandle handle;  // owned by the host layer for the process's life
};

std::string g_explicitPath;  // set by HostSetResourcePath; empty: environment or beside the plug-in
std::vector<CachedResource>* g_cache = nullptr;

int FindPlugin(dl_phdr_info* info, size_t, void* data) {
    const char* name = info->dlpi_name;
    const size_t length = std::strlen(name);
    static const char kLeaf[] = "/libzor.so";
    if (length >= sizeof kLeaf - 1 && std::strcmp(name + length - (sizeof kLeaf - 1), kLeaf) == 0) {
        *static_cast<std::string*>(data) = std::string(name, length - 2) + "rsrc";
        return 1;
    }
    return 0;
}

std::string ResourcePath() {
    if (!g_explicitPath.empty()) return g_explicitPath;
    if (const char* env = std::getenv("ZOR_RESOURCES"); env != nullptr && *env != '\0') return env;
    std::string path;
    dl_iterate_phdr(FindPlugin, &path);
    return path;
}

bool ReadWholeFile(const std::string& path, std::vector<unsigned char>& bytes) {
    HostSystemCalls& sys = Sys();
    const int fd = sys.open(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return false;
    bool ok = false;
    struct stat status {};
    if (sys.fstat(fd, &status) == 0 && status.st_size >= 0 && status.st_size <= (16 << 20)) {
        bytes.resize(static_cast<size_t>(status.st_size));
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = sys.read(fd, bytes.data() + done, bytes.size() - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        ok = done == bytes.size();
    }
    sys.close(fd);
    return ok;
}

}  // namespace

bool FindResource(const unsigned char* file, size_t size, uint32_t type, const unsigned char* name,
                  size_t& offset, size_t& length) {
    if (size < 16) return false;
    const uint64_t dataOffset = Read32(file), mapOffset = Read32(file + 4);
    const uint64_t dataLength = Read32(file + 8), mapLength = Read32(file + 12);
    if (dataOffset + dataLength > size || mapOffset + mapLength > size || mapLength < 30) return false;
    const unsigned char* map = file + mapOffset;
    const uint64_t typeListOffset = Read16(map + 24), nameListOffset = Read16(map + 26);
    if (typeListOffset + 2 > mapLength || nameListOffset > mapLength) return false;
    const unsigned char* typeList = map + typeListOffset;
    const uint64_t typeCount = (Read16(typeList) + 1) & 0xFFFF;
    for (uint64_t t = 0; t < typeCount; ++t) {
        const uint64_t at = typeListOffset + 2 + 8 * t;
        if (at + 8 > mapLength) return false;
        const unsigned char* entry = map + at;
        if (Read32(entry) != type) continue;
        const uint64_t count = (Read16(entry + 4) + 1) & 0xFFFF;
        const uint64_t refList = typeListOffset + Read16(entry + 6);
        for (uint64_t r = 0; r < count; ++r) {
            const uint64_t refAt = refList + 12 * r;
            if (refAt + 12 > mapLength) return false;
            const unsigned char* ref = map + refAt;
            const uint32_t nameOffset = Read16(ref + 2);
            if (nameOffset == 0xFFFF) continue;
            const uint64_t nameAt = nameListOffset + nameOffset;
            if (nameAt + 1 > mapLength || nameAt + 1 + map[nameAt] > mapLength) continue;
            if (map[nameAt] != name[0] || std::memcmp(map + nameAt + 1, name + 1, name[0]) != 0) continue;
            const uint64_t at = Read24(ref + 5);
            if (at + 4 > dataLength) return false;
            const uint64_t bytes = Read32(file + dataOffset + at);
            if (at + 4 + bytes > dataLength) return false;
            offset = static_cast<size_t>(dataOffset + at + 4);
            length = static_cast<size_t>(bytes);
            return true;
        }
    }
    return false;
}

}  // namespace zor::host

using namespace zor::host;

extern "C" {

HostHandle HostGetNamedResource(uint32_t type, const unsigned char* name) {
    if (name == nullptr) return nullptr;
    if (g_cache == nullptr) g_cache = new std::vector<CachedResource>();
    const std::string key(reinterpret_cast<const char*>(name + 1), name[0]);
    const std::string path = ResourcePath();
    for (const CachedResource& r : *g_cache)
        if (r.type == type && r.name == key && r.path == path) return r.handle;

    std::vector<unsigned char> file;
    if (!ReadWholeFile(path, file)) return nullptr;
    size_t offset = 0, length = 0;
    if (!FindResource(file.data(), file.size(), type, name, offset, length)) return nullptr;
    HostHandle handle = HostNewHandle(static_cast<int32_t>(length));
    if (handle == nullptr) return nullptr;
    std::memcpy(*handle, file.data() + offset, length);
    g_cache->push_back({path, type, key, handle});
    return handle;
}

// Resources are cached per file, so handles taken from an earlier file stay valid.
void HostSetResourcePath(const char* path) { g_explicitPath = path ? path : ""; }

}  // extern "C"
