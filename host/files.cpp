// files.cpp: the Macintosh-style file model on POSIX files: names, catalog and Finder information,
// creation, the fork table and fork input and output.
//
// Divisions: names and directory ids; platform helpers; the sidecar (load, store, rebuild);
// catalog and Finder information; creation; opening forks; fork input and output; flushing; odds
// and ends (byte order, free memory, block size).
#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "host/files_sidecar.h"
#include "host/host_internal.h"
#include "host/macroman.h"

namespace zor::host {
namespace {

constexpr int64_t kUnixToHostSeconds = 2082844800;  // 1904-01-01 to 1970-01-01
constexpr int kMaxLeafLength = 63;                   // a Macintosh leaf name
constexpr int kMaxForks = 4096;                      // fork references 1..4096

// ---- Names and directory ids ---------------------------------------------------------------------

// Directory id n > 0 names g_directories[n - 1], an absolute path without a trailing slash.
std::vector<std::string> g_directories;

// A name resolved to the paths of the data file and its sidecar. Paths are in the disk's form.
struct ResolvedName {
    std::string path;      // the data file
    std::string sidecar;   // ._leaf beside it
    std::string folder;    // the folder part of path, with its trailing slash, or empty
    std::string leaf;      // the last component, as on disk
    std::string macLeaf;   // the last component as the caller gave it (Mac Roman)
};

// The disk form of a path given in Mac Roman: UTF-8, the Linux convention. A given path whose
// bytes are not UTF-8 and that names an existing file while its UTF-8 form names none is used byte
// for byte, so files named by programs that write other character sets stay reachable.
std::string DiskPath(const std::string& prefix, const std::string& given) {
    std::string utf8 = prefix + MacRomanToUtf8(given);
    if (IsUtf8(given)) return utf8;
    struct stat st;
    const std::string raw = prefix + given;
    if (Sys().stat(utf8.c_str(), &st) != 0 && errno == ENOENT && Sys().stat(raw.c_str(), &st) == 0) return raw;
    return utf8;
}

// A leaf the layer keeps for a file's sidecar: `._` and anything after it. No operation may create
// or open such a file as a file of its own, or its neighbour's resource fork could be overwritten.
bool IsSidecarLeaf(const std::string& leaf) { return leaf.size() >= 2 && leaf[0] == '.' && leaf[1] == '_'; }

int16_t Resolve(int16_t volume, int32_t directory, const unsigned char* name, ResolvedName& out) {
    if (volume != 0) return HostNoSuchVolErr;
    if (directory < 0 || directory > static_cast<int32_t>(g_directories.size())) return HostDirNFErr;
    if (name == nullptr || name[0] == 0) return HostBadNameErr;
    std::string given(reinterpret_cast<const char*>(name + 1), name[0]);
    if (given.find('\0') != std::string::npos) return HostBadNameErr;
    const size_t givenSlash = given.rfind('/');
    out.macLeaf = givenSlash == std::string::npos ? given : given.substr(givenSlash + 1);
    std::string full = DiskPath(directory == 0 ? std::string() : g_directories[directory - 1] + "/", given);
    const size_t slash = full.rfind('/');
    out.folder = slash == std::string::npos ? std::string() : full.substr(0, slash + 1);
    out.leaf = slash == std::string::npos ? full : full.substr(slash + 1);
    if (out.leaf.empty() || out.leaf == "." || out.leaf == ".." || out.leaf.size() > NAME_MAX - 2 ||
        IsSidecarLeaf(out.leaf))
        return HostBadNameErr;
    out.path = full;
    out.sidecar = out.folder + "._" + out.leaf;
    return HostNoErr;
}

int32_t RegisterDirectory(std::string folder) {
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    for (size_t i = 0; i < g_directories.size(); ++i)
        if (g_directories[i] == folder) return static_cast<int32_t>(i + 1);
    g_directories.push_back(folder);
    return static_cast<int32_t>(g_directories.size());
}

// ---- Platform helpers ----------------------------------------------------------------------------

int16_t StatusOf(int error) {
    switch (error) {
        case ENOENT: return HostFnfErr;
        case ENOTDIR: return HostDirNFErr;
        case EACCES: case EPERM: case EROFS: case ETXTBSY: return HostPermErr;
        case ENOSPC: case EDQUOT: case EFBIG: return HostDiskFullErr;
        case ENAMETOOLONG: case EINVAL: case EILSEQ: return HostBadNameErr;
        case EEXIST: return HostDupFNErr;
        case EISDIR: return HostFnfErr;
        case ENOMEM: return HostMemFullErr;
        default: return HostIOErr;
    }
}

// Only a regular file is a file: a folder, a device or a FIFO is none (reading a device may never
// end, and opening a FIFO waits for its other end).
int16_t StatPath(const std::string& path, struct stat& st) {
    if (Sys().stat(path.c_str(), &st) != 0) return StatusOf(errno);
    if (!S_ISREG(st.st_mode)) return HostFnfErr;
    return HostNoErr;
}

// Opens a regular file without waiting: the descriptor, or -1 with the status in `status` (-43 when
// what the path names now is no regular file, whatever stat said before). O_NONBLOCK changes
// nothing for a regular file, so it stays.
int OpenRegular(const std::string& path, int flags, int16_t& status) {
    int fd = Sys().open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, 0);
    if (fd < 0) {
        status = StatusOf(errno);
        return -1;
    }
    struct stat st;
    status = HostNoErr;
    if (Sys().fstat(fd, &st) != 0) status = HostIOErr;
    else if (!S_ISREG(st.st_mode)) status = HostFnfErr;
    if (status == HostNoErr) return fd;
    Sys().close(fd);
    return -1;
}

bool Locked(const struct stat& st) { return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0; }

uint32_t HostSecondsOf(time_t unixSeconds) { return static_cast<uint32_t>(int64_t(unixSeconds) + kUnixToHostSeconds); }

// Reads up to n bytes, retrying short reads; the bytes read, or -1 with errno set.
ssize_t ReadFull(int fd, void* buffer, size_t n) {
    size_t done = 0;
    while (done < n) {
        ssize_t got = Sys().read(fd, static_cast<char*>(buffer) + done, n - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

// Writes all n bytes; the bytes written before a failure in *written. 0 or an errno.
int WriteFull(int fd, const void* buffer, size_t n, size_t* written) {
    size_t done = 0;
    int error = 0;
    while (done < n) {
        ssize_t put = Sys().write(fd, static_cast<const char*>(buffer) + done, n - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            error = put < 0 ? errno : ENOSPC;
            break;
        }
        done += static_cast<size_t>(put);
    }
    if (written) *written = done;
    return error;
}

bool ReadAt(int fd, uint64_t offset, void* buffer, size_t n) {
    if (Sys().lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) return false;
    return ReadFull(fd, buffer, n) == static_cast<ssize_t>(n);
}

int WriteAt(int fd, uint64_t offset, const void* buffer, size_t n) {
    if (Sys().lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) return errno;
    return WriteFull(fd, buffer, n, nullptr);
}

int CloseFd(int fd) { return Sys().close(fd) == 0 ? 0 : errno; }

// Paths written since the last HostFlushVolume.
std::vector<std::string> g_unflushed;
bool g_durableFlush = true;  // HostFlushVolume waits for the disk

void NoteWritten(const std::string& path) {
    for (const std::string& p : g_unflushed)
        if (p == path) return;
    g_unflushed.push_back(path);
}

// ---- The sidecar ---------------------------------------------------------------------------------

struct SidecarInfo {
    bool present;                     // a well-formed sidecar exists
    uint64_t size;                    // its length in bytes
    SidecarLayout layout;             // where its entries lie
    uint8_t finder[kFinderInfoSize];  // entry 9, zero when absent
    uint8_t dates[kDatesSize];        // entry 8, "unknown" when absent
    bool hasCreated;                  // entry 8 gives a creation date
};

void UnknownDates(uint8_t dates[kDatesSize]) {
    for (int i = 0; i < 4; ++i) WriteBig32(dates + 4 * i, kUnknownAppleDoubleDate);
}

// A missing or malformed sidecar reads as none; only a failure to read an existing one is an error.
// A symbolic link, a FIFO or a device in the sidecar's place is not the file's sidecar: none.
int16_t LoadSidecar(const std::string& sidecar, SidecarInfo& info) {
    std::memset(&info, 0, sizeof info);
    UnknownDates(info.dates);
    int fd = Sys().open(sidecar.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
    if (fd < 0) return (errno == ENOENT || errno == ENOTDIR || errno == ELOOP) ? int16_t(HostNoErr) : StatusOf(errno);
    int16_t status = HostNoErr;
    struct stat st;
    uint8_t probe[kSidecarProbeSize];
    ssize_t got = -1;
    if (Sys().fstat(fd, &st) != 0) {
        status = HostIOErr;
    } else if (!S_ISREG(st.st_mode)) {
        // none
    } else if ((got = ReadFull(fd, probe, sizeof probe)) < 0) {
        status = HostIOErr;
    } else if (ParseSidecar(probe, static_cast<size_t>(got), static_cast<uint64_t>(st.st_size), &info.layout)) {
        info.present = true;
        info.size = static_cast<uint64_t>(st.st_size);
        const SidecarEntry& f = info.layout.finderInfo;
        if (f.present && !ReadAt(fd, f.offset, info.finder, std::min<uint32_t>(f.length, kFinderInfoSize)))
            status = HostIOErr;
        const SidecarEntry& d = info.layout.dates;
        if (d.present && d.length >= 4) {
            if (!ReadAt(fd, d.offset, info.dates, std::min<uint32_t>(d.length, kDatesSize))) status = HostIOErr;
            info.hasCreated = ReadBig32(info.dates) != kUnknownAppleDoubleDate;
        }
    }
    CloseFd(fd);
    return status;
}

// The start of every catalog call: the name resolved, the file's status, and its sidecar read.
int16_t LoadEntry(int16_t volume, int32_t directory, const unsigned char* name, ResolvedName& r, struct stat& st,
                  SidecarInfo& side) {
    int16_t status = Resolve(volume, directory, name, r);
    if (status == HostNoErr) status = StatPath(r.path, st);
    if (status == HostNoErr) status = LoadSidecar(r.sidecar, side);
    return status;
}

// Writes a canonical sidecar with the given Finder information and dates, carrying the old
// sidecar's resource fork over; the new file replaces the old one (or a link in its place) only
// once it is complete. The new file is always made afresh, never opened through a link.
int16_t RebuildSidecar(const std::string& sidecar, const SidecarInfo& old, const uint8_t finder[kFinderInfoSize],
                       const uint8_t dates[kDatesSize]) {
    const std::string temporary = sidecar + ".zor-new";
    const uint32_t resourceLength = old.present && old.layout.resourceFork.present ? old.layout.resourceFork.length : 0;
    int16_t status = HostNoErr;
    int in = -1;
    Sys().unlink(temporary.c_str());  // left by an interrupted rebuild, or planted
    int out = Sys().open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (out < 0) return StatusOf(errno);
    uint8_t header[kCanonicalResourceOffset];
    BuildSidecarHeader(finder, dates, resourceLength, header);
    int error = WriteFull(out, header, sizeof header, nullptr);
    if (error != 0) status = StatusOf(error);
    if (status == HostNoErr && resourceLength > 0) {
        in = Sys().open(sidecar.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
        if (in < 0 || Sys().lseek(in, old.layout.resourceFork.offset, SEEK_SET) < 0) status = HostIOErr;
        char chunk[16384];
        uint32_t left = resourceLength;
        while (status == HostNoErr && left > 0) {
            size_t n = std::min<uint32_t>(left, sizeof chunk);
            if (ReadFull(in, chunk, n) != static_cast<ssize_t>(n)) {
                status = HostIOErr;
            } else if ((error = WriteFull(out, chunk, n, nullptr)) != 0) {
                status = StatusOf(error);
            }
            left -= static_cast<uint32_t>(n);
        }
    }
    if (in >= 0) CloseFd(in);
    if (CloseFd(out) != 0 && status == HostNoErr) status = HostIOErr;
    if (status == HostNoErr && Sys().rename(temporary.c_str(), sidecar.c_str()) != 0) status = StatusOf(errno);
    if (status != HostNoErr) Sys().unlink(temporary.c_str());
    else NoteWritten(sidecar);
    return status;
}

// Stores Finder information and dates, in place when the sidecar has room for both entries.
int16_t StoreSidecarMeta(const std::string& sidecar, const SidecarInfo& old, const uint8_t finder[kFinderInfoSize],
                         const uint8_t dates[kDatesSize]) {
    const SidecarLayout& l = old.layout;
    if (!(old.present && l.finderInfo.present && l.finderInfo.length >= kFinderInfoSize && l.dates.present &&
          l.dates.length >= kDatesSize))
        return RebuildSidecar(sidecar, old, finder, dates);
    int fd = Sys().open(sidecar.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
    if (fd < 0) return StatusOf(errno);
    int error = WriteAt(fd, l.finderInfo.offset, finder, kFinderInfoSize);
    if (error == 0) error = WriteAt(fd, l.dates.offset, dates, kDatesSize);
    int closeError = CloseFd(fd);
    if (error == 0) error = closeError;
    NoteWritten(sidecar);
    return error == 0 ? int16_t(HostNoErr) : StatusOf(error);
}

void PackFinderInfo(const HostFinderInfo& info, uint8_t out[16]) {
    WriteBig32(out, info.type);
    WriteBig32(out + 4, info.creator);
    WriteBig16(out + 8, info.flags);
    WriteBig16(out + 10, static_cast<uint16_t>(info.locationV));
    WriteBig16(out + 12, static_cast<uint16_t>(info.locationH));
    WriteBig16(out + 14, static_cast<uint16_t>(info.folder));
}

void UnpackFinderInfo(const uint8_t in[16], HostFinderInfo& info) {
    info.type = ReadBig32(in);
    info.creator = ReadBig32(in + 4);
    info.flags = ReadBig16(in + 8);
    info.locationV = static_cast<int16_t>(ReadBig16(in + 10));
    info.locationH = static_cast<int16_t>(ReadBig16(in + 12));
    info.folder = static_cast<int16_t>(ReadBig16(in + 14));
}

bool AllZero(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (p[i] != 0) return false;
    return true;
}

// ---- The fork table ------------------------------------------------------------------------------

struct OpenFork {
    bool used;              // the reference names an open fork
    bool resource;          // the resource fork (in the sidecar), else the data fork
    bool writable;          // opened for writing
    int fd;                 // data file or sidecar; -1 for the resource fork of a file without one
    uint32_t base;          // resource fork: offset of its bytes in the sidecar
    uint32_t lengthField;   // resource fork: offset of entry 2's length field in the sidecar
    int32_t length;         // resource fork: logical length
    int32_t position;       // the fork's current position
    std::string path;       // the data file (writers are counted per path and fork)
    std::string written;    // the file that writes go to (for HostFlushVolume)
};

std::vector<OpenFork> g_forks;

OpenFork* ForkOf(HostForkRef ref) {
    if (ref <= 0 || ref > static_cast<int32_t>(g_forks.size()) || !g_forks[ref - 1].used) return nullptr;
    return &g_forks[ref - 1];
}

int16_t AddFork(OpenFork fork, HostForkRef* ref) {
    size_t i = 0;
    while (i < g_forks.size() && g_forks[i].used) ++i;
    if (i >= static_cast<size_t>(kMaxForks)) {
        if (fork.fd >= 0) CloseFd(fork.fd);
        return -42;  // too many files open
    }
    fork.used = true;
    if (i == g_forks.size()) g_forks.push_back(fork);
    else g_forks[i] = fork;
    *ref = static_cast<HostForkRef>(i + 1);
    return HostNoErr;
}

bool OpenForWriting(const std::string& path, bool resource) {
    for (const OpenFork& f : g_forks)
        if (f.used && f.writable && f.resource == resource && f.path == path) return true;
    return false;
}

// Decides whether an open with `permission` writes: -54 when it must write and the file is locked.
int16_t WantsWrite(int8_t permission, const struct stat& st, bool& write) {
    const bool locked = Locked(st);
    if (permission == HostPermAny) {
        write = !locked;
        return HostNoErr;
    }
    write = permission == HostPermWrite || permission == HostPermReadWrite;
    if (permission < HostPermAny || permission > HostPermReadWrite) return HostParamErr;
    return write && locked ? int16_t(HostPermErr) : int16_t(HostNoErr);
}

// The checks every open makes: the file exists (its status in `st`), the permission fits its lock,
// and a fork opened for writing has no other writer. Sets `write` to whether the open writes.
int16_t CheckOpen(const ResolvedName& r, int8_t permission, bool resource, HostForkRef* ref, struct stat& st,
                  bool& write) {
    if (ref == nullptr) return HostParamErr;
    *ref = 0;
    int16_t status = StatPath(r.path, st);
    write = false;
    if (status == HostNoErr) status = WantsWrite(permission, st, write);
    if (status != HostNoErr) return status;
    return write && OpenForWriting(r.path, resource) ? int16_t(HostOpWrErr) : int16_t(HostNoErr);
}

int16_t OpenData(const ResolvedName& r, int8_t permission, HostForkRef* ref) {
    struct stat st;
    bool write = false;
    if (const int16_t status = CheckOpen(r, permission, false, ref, st, write); status != HostNoErr) return status;
    int16_t status = HostNoErr;
    int fd = OpenRegular(r.path, write ? O_RDWR : O_RDONLY, status);
    if (fd < 0) return status;
    OpenFork f{};
    f.resource = false;
    f.writable = write;
    f.fd = fd;
    f.path = r.path;
    f.written = r.path;
    return AddFork(f, ref);
}

int16_t OpenResource(const ResolvedName& r, int8_t permission, HostForkRef* ref) {
    struct stat st;
    bool write = false;
    int16_t status = CheckOpen(r, permission, true, ref, st, write);
    if (status != HostNoErr) return status;
    SidecarInfo info;
    status = LoadSidecar(r.sidecar, info);
    if (status == HostNoErr && write && !info.layout.resourceLast) {
        // A new sidecar, or one whose resource fork cannot grow in place: write the canonical form.
        if (!info.present || !info.hasCreated) {
            uint8_t dates[kDatesSize];
            std::memcpy(dates, info.dates, sizeof dates);
            if (!info.hasCreated) WriteBig32(dates, static_cast<uint32_t>(HostSecondsOf(st.st_mtime) - kHostSecondsAt2000));
            status = RebuildSidecar(r.sidecar, info, info.finder, dates);
        } else {
            status = RebuildSidecar(r.sidecar, info, info.finder, info.dates);
        }
        if (status == HostNoErr) status = LoadSidecar(r.sidecar, info);
        if (status == HostNoErr && !info.layout.resourceLast) status = HostIOErr;
    }
    if (status != HostNoErr) return status;
    OpenFork f{};
    f.resource = true;
    f.writable = write;
    f.fd = -1;
    f.path = r.path;
    f.written = r.sidecar;
    if (info.present && info.layout.resourceFork.present) {
        const int access = (write ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
        f.fd = Sys().open(r.sidecar.c_str(), access, 0);
        if (f.fd < 0) return StatusOf(errno);
        f.base = info.layout.resourceFork.offset;
        f.length = static_cast<int32_t>(std::min<uint32_t>(info.layout.resourceFork.length, INT32_MAX));
        f.lengthField = kSidecarHeaderSize + info.layout.resourceFork.slot * kSidecarEntrySize + 8;
    }
    return AddFork(f, ref);
}

int16_t StoreResourceLength(OpenFork& f) {
    uint8_t field[4];
    WriteBig32(field, static_cast<uint32_t>(f.length));
    int error = WriteAt(f.fd, f.lengthField, field, sizeof field);
    return error == 0 ? int16_t(HostNoErr) : StatusOf(error);
}

// Resolves a name and opens one of its forks with `open`; the reference is 0 when the name fails.
int16_t OpenNamed(int16_t volume, int32_t directory, const unsigned char* name, int8_t permission, HostForkRef* fork,
                  int16_t (*open)(const ResolvedName&, int8_t, HostForkRef*)) {
    ResolvedName r;
    const int16_t status = Resolve(volume, directory, name, r);
    if (status != HostNoErr) {
        if (fork) *fork = 0;
        return status;
    }
    return open(r, permission, fork);
}

}  // namespace
}  // namespace zor::host

using namespace zor::host;

extern "C" {

// ---- Names, catalog and Finder information --------------------------------------------------------

int16_t HostMakeFileSpec(int16_t volume, int32_t directory, const unsigned char* name, HostFileSpec* spec) {
    if (spec == nullptr) return HostParamErr;
    ResolvedName r;
    int16_t status = Resolve(volume, directory, name, r);
    if (status != HostNoErr) return status;
    if (r.macLeaf.size() > static_cast<size_t>(kMaxLeafLength)) return HostBadNameErr;
    std::memset(spec, 0, sizeof *spec);
    spec->volume = 0;
    spec->directory = directory;
    if (!r.folder.empty()) {
        std::string folder = r.folder;
        if (folder[0] != '/') {
            char cwd[PATH_MAX];
            if (getcwd(cwd, sizeof cwd) == nullptr) return HostIOErr;
            folder = std::string(cwd) + "/" + folder;
        }
        struct stat st;
        if (Sys().stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return HostDirNFErr;
        spec->directory = RegisterDirectory(folder);
    }
    spec->name[0] = static_cast<unsigned char>(r.macLeaf.size());
    std::memcpy(spec->name + 1, r.macLeaf.data(), r.macLeaf.size());
    struct stat st;
    return StatPath(r.path, st);
}

int16_t HostGetFileId(int16_t volume, int32_t directory, const unsigned char* name, HostFileId* id) {
    if (id == nullptr) return HostParamErr;
    *id = HostFileId{0, 0};
    ResolvedName r;
    struct stat st;
    int16_t status = Resolve(volume, directory, name, r);
    if (status == HostNoErr) status = StatPath(r.path, st);
    if (status != HostNoErr) return status;
    id->device = static_cast<uint64_t>(st.st_dev);
    id->inode = static_cast<uint64_t>(st.st_ino);
    return HostNoErr;
}

int16_t HostGetSidecarId(int16_t volume, int32_t directory, const unsigned char* name, HostFileId* id) {
    if (id == nullptr) return HostParamErr;
    *id = HostFileId{0, 0};
    ResolvedName r;
    int16_t status = Resolve(volume, directory, name, r);
    if (status != HostNoErr) return status;
    struct stat st;
    // The sidecar as LoadSidecar sees it: a symbolic link or anything but a regular file is none.
    if (::lstat(r.sidecar.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return HostFnfErr;
    id->device = static_cast<uint64_t>(st.st_dev);
    id->inode = static_cast<uint64_t>(st.st_ino);
    return HostNoErr;
}

int16_t HostCreateReplacement(int16_t volume, int32_t directory, const unsigned char* name, unsigned char* temporary) {
    if (temporary == nullptr) return HostParamErr;
    temporary[0] = 0;
    ResolvedName r;
    int16_t status = Resolve(volume, directory, name, r);
    if (status != HostNoErr) return status;
    struct stat st;
    const bool exists = StatPath(r.path, st) == HostNoErr;
    if (exists && Locked(st)) return HostPermErr;
    // The temporary file lies in the name's folder, so the final move is a rename on one volume.
    const std::string given(reinterpret_cast<const char*>(name + 1), name[0]);
    const size_t slash = given.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : given.substr(0, slash + 1);
    ResolvedName t;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        const std::string candidate = folder + ".zor-part-" + std::to_string(attempt);
        if (candidate.size() > 255) return HostBadNameErr;
        temporary[0] = static_cast<unsigned char>(candidate.size());
        std::memcpy(temporary + 1, candidate.data(), candidate.size());
        status = Resolve(volume, directory, temporary, t);
        if (status != HostNoErr) break;
        fd = Sys().open(t.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) status = errno == ENOENT ? int16_t(HostDirNFErr) : StatusOf(errno);
        if (fd < 0 && status != HostNoErr) break;
    }
    if (fd < 0) {
        temporary[0] = 0;
        return status != HostNoErr ? status : int16_t(HostDupFNErr);
    }
    if (CloseFd(fd) != 0) status = HostIOErr;
    if (Sys().unlink(t.sidecar.c_str()) != 0 && errno != ENOENT && status == HostNoErr) status = StatusOf(errno);
    // The name's own sidecar, byte for byte: the file starts as the name's file with no data.
    int in = exists ? Sys().open(r.sidecar.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0) : -1;
    struct stat side;
    if (status == HostNoErr && in >= 0 && Sys().fstat(in, &side) == 0 && S_ISREG(side.st_mode)) {
        int out = Sys().open(t.sidecar.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (out < 0) status = StatusOf(errno);
        char chunk[16384];
        ssize_t got = 0;
        while (status == HostNoErr && (got = ReadFull(in, chunk, sizeof chunk)) > 0) {
            const int error = WriteFull(out, chunk, size_t(got), nullptr);
            if (error != 0) status = StatusOf(error);
        }
        if (got < 0 && status == HostNoErr) status = HostIOErr;
        if (out >= 0 && CloseFd(out) != 0 && status == HostNoErr) status = HostIOErr;
    }
    if (in >= 0) CloseFd(in);
    if (status != HostNoErr) {
        Sys().unlink(t.sidecar.c_str());
        Sys().unlink(t.path.c_str());
        temporary[0] = 0;
    }
    return status;
}

int16_t HostCommitReplacement(const unsigned char* temporary, const unsigned char* name) {
    ResolvedName t, r;
    int16_t status = Resolve(0, 0, temporary, t);
    if (status == HostNoErr) status = Resolve(0, 0, name, r);
    if (status != HostNoErr) return status;
    std::string target = r.path, targetSidecar = r.sidecar;
    struct stat st;
    if (::lstat(r.path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        // A link keeps leading where it led: the file it names is the one replaced.
        char resolved[PATH_MAX];
        if (::realpath(r.path.c_str(), resolved) == nullptr) return StatusOf(errno);
        target = resolved;
        const size_t slash = target.rfind('/');
        targetSidecar = target.substr(0, slash + 1) + "._" + target.substr(slash + 1);
    }
    if (Sys().stat(target.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) return HostFnfErr;
        if (Locked(st)) return HostPermErr;
        int fd = Sys().open(t.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC, 0);
        if (fd < 0) return StatusOf(errno);
        if (Sys().fchmod(fd, st.st_mode & 07777) != 0) status = StatusOf(errno);
        CloseFd(fd);
        if (status != HostNoErr) return status;
    }
    if (Sys().rename(t.path.c_str(), target.c_str()) != 0) return StatusOf(errno);
    NoteWritten(target);
    struct stat side;
    if (::lstat(t.sidecar.c_str(), &side) == 0) {
        if (Sys().rename(t.sidecar.c_str(), targetSidecar.c_str()) != 0) status = StatusOf(errno);
        else NoteWritten(targetSidecar);
    } else if (Sys().unlink(targetSidecar.c_str()) != 0 && errno != ENOENT) {
        status = StatusOf(errno);
    }
    return status;
}

int16_t HostDeleteFile(int16_t volume, int32_t directory, const unsigned char* name) {
    ResolvedName r;
    int16_t status = Resolve(volume, directory, name, r);
    if (status != HostNoErr) return status;
    if (Sys().unlink(r.path.c_str()) != 0) status = StatusOf(errno);
    if (Sys().unlink(r.sidecar.c_str()) != 0 && errno != ENOENT && status == HostNoErr) status = StatusOf(errno);
    return status;
}

int16_t HostDiskPath(int16_t volume, int32_t directory, const unsigned char* name, char* path, int32_t size) {
    if (path == nullptr || size <= 0) return HostParamErr;
    path[0] = 0;
    ResolvedName r;
    const int16_t status = Resolve(volume, directory, name, r);
    if (status != HostNoErr) return status;
    if (r.path.size() + 1 > static_cast<size_t>(size)) return HostBadNameErr;
    std::memcpy(path, r.path.c_str(), r.path.size() + 1);
    return HostNoErr;
}

int16_t HostGetCatalogInfo(HostCatalogInfo* info) {
    if (info == nullptr) return HostParamErr;
    if (info->index != 0) return HostFnfErr;
    ResolvedName r;
    struct stat st;
    SidecarInfo side;
    int16_t status = LoadEntry(info->volume, info->directory, info->name, r, st, side);
    if (status == HostNoErr && st.st_size > INT32_MAX) status = HostIOErr;
    if (status != HostNoErr) return status;
    UnpackFinderInfo(side.finder, info->finderInfo);
    info->attributes = Locked(st) ? 1 : 0;
    info->dataLength = static_cast<int32_t>(st.st_size);
    info->resourceLength = side.present && side.layout.resourceFork.present
                               ? static_cast<int32_t>(std::min<uint32_t>(side.layout.resourceFork.length, INT32_MAX))
                               : 0;
    info->modified = HostSecondsOf(st.st_mtime);
    info->created = side.hasCreated ? ReadBig32(side.dates) + kHostSecondsAt2000 : info->modified;
    return HostNoErr;
}

int16_t HostSetCatalogInfo(const HostCatalogInfo* info) {
    if (info == nullptr) return HostParamErr;
    ResolvedName r;
    struct stat st;
    SidecarInfo side;
    int16_t status = LoadEntry(info->volume, info->directory, info->name, r, st, side);
    if (status != HostNoErr) return status;
    uint8_t finder[kFinderInfoSize];
    uint8_t dates[kDatesSize];
    std::memcpy(finder, side.finder, sizeof finder);
    std::memcpy(dates, side.dates, sizeof dates);
    PackFinderInfo(info->finderInfo, finder);
    WriteBig32(dates, info->created - kHostSecondsAt2000);
    WriteBig32(dates + 4, info->modified - kHostSecondsAt2000);
    const bool createdIsMtime = info->created == info->modified;
    if (side.present || !AllZero(finder, sizeof finder) || !createdIsMtime)
        status = StoreSidecarMeta(r.sidecar, side, finder, dates);
    if (status != HostNoErr) return status;
    int fd = Sys().open(r.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC, 0);
    if (fd < 0) return StatusOf(errno);
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(int64_t(info->modified) - kUnixToHostSeconds);
    times[1].tv_nsec = 0;
    if (Sys().futimens(fd, times) != 0) status = StatusOf(errno);
    const bool lock = (info->attributes & 1) != 0;
    if (status == HostNoErr && lock != Locked(st)) {
        mode_t mode = lock ? (st.st_mode & ~mode_t(S_IWUSR | S_IWGRP | S_IWOTH)) : (st.st_mode | S_IWUSR);
        if (Sys().fchmod(fd, mode & 07777) != 0) status = StatusOf(errno);
    }
    if (CloseFd(fd) != 0 && status == HostNoErr) status = HostIOErr;
    return status;
}

int16_t HostGetFinderInfo(const unsigned char* name, int16_t volume, HostFinderInfo* info) {
    if (info == nullptr) return HostParamErr;
    ResolvedName r;
    struct stat st;
    SidecarInfo side;
    const int16_t status = LoadEntry(volume, 0, name, r, st, side);
    if (status == HostNoErr) UnpackFinderInfo(side.finder, *info);
    return status;
}

int16_t HostSetFinderInfo(const unsigned char* name, int16_t volume, const HostFinderInfo* info) {
    if (info == nullptr) return HostParamErr;
    ResolvedName r;
    struct stat st;
    SidecarInfo side;
    const int16_t status = LoadEntry(volume, 0, name, r, st, side);
    if (status != HostNoErr) return status;
    uint8_t finder[kFinderInfoSize];
    std::memcpy(finder, side.finder, sizeof finder);
    PackFinderInfo(*info, finder);
    if (!side.present && AllZero(finder, sizeof finder)) return HostNoErr;  // nothing to keep
    uint8_t dates[kDatesSize];
    std::memcpy(dates, side.dates, sizeof dates);
    if (!side.hasCreated) WriteBig32(dates, HostSecondsOf(st.st_mtime) - kHostSecondsAt2000);
    return StoreSidecarMeta(r.sidecar, side, finder, dates);
}

// ---- Creation ------------------------------------------------------------------------------------

int16_t HostCreateFileIn(int16_t volume, int32_t directory, const unsigned char* name, uint32_t creator,
                         uint32_t type) {
    ResolvedName r;
    int16_t status = Resolve(volume, directory, name, r);
    if (status != HostNoErr) return status;
    int fd = Sys().open(r.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        if (errno == EISDIR) return HostDupFNErr;
        if (errno == ENOENT) return HostDirNFErr;  // the folder is missing
        return StatusOf(errno);
    }
    if (CloseFd(fd) != 0) status = HostIOErr;
    // A sidecar left behind by an older file of this name does not belong to the new one.
    if (Sys().unlink(r.sidecar.c_str()) != 0 && errno != ENOENT && status == HostNoErr) status = StatusOf(errno);
    if (status == HostNoErr && (type != 0 || creator != 0)) {
        SidecarInfo none;
        std::memset(&none, 0, sizeof none);
        uint8_t finder[kFinderInfoSize] = {0};
        uint8_t dates[kDatesSize];
        UnknownDates(dates);
        const uint32_t now = HostSecondsOf(std::time(nullptr));
        WriteBig32(dates, now - kHostSecondsAt2000);
        WriteBig32(dates + 4, now - kHostSecondsAt2000);
        WriteBig32(finder, type);
        WriteBig32(finder + 4, creator);
        status = RebuildSidecar(r.sidecar, none, finder, dates);
    }
    return status;
}

int16_t HostCreateFile(const unsigned char* name, int16_t volume, uint32_t creator, uint32_t type) {
    return HostCreateFileIn(volume, 0, name, creator, type);
}

// ---- Opening forks -------------------------------------------------------------------------------

int16_t HostOpenDataFork(const unsigned char* name, int16_t volume, HostForkRef* fork) {
    return HostOpenDataForkIn(volume, 0, name, HostPermReadWrite, fork);
}

int16_t HostOpenDataForkIn(int16_t volume, int32_t directory, const unsigned char* name, int8_t permission,
                           HostForkRef* fork) {
    return OpenNamed(volume, directory, name, permission, fork, OpenData);
}

int16_t HostOpenDataForkByRecord(const HostFileSpec* spec, int8_t permission, HostForkRef* fork) {
    if (spec == nullptr) return HostParamErr;
    return HostOpenDataForkIn(spec->volume, spec->directory, spec->name, permission, fork);
}

int16_t HostOpenResourceFork(const unsigned char* name, int16_t volume, HostForkRef* fork) {
    return HostOpenResourceForkIn(volume, 0, name, HostPermReadWrite, fork);
}

int16_t HostOpenResourceForkIn(int16_t volume, int32_t directory, const unsigned char* name, int8_t permission,
                               HostForkRef* fork) {
    return OpenNamed(volume, directory, name, permission, fork, OpenResource);
}

// ---- Fork input and output -----------------------------------------------------------------------

int16_t HostReadFork(HostForkRef ref, int32_t* count, void* buffer) {
    OpenFork* f = ForkOf(ref);
    if (f == nullptr) {
        if (count) *count = 0;
        return HostRfNumErr;
    }
    if (count == nullptr || *count < 0 || (buffer == nullptr && *count > 0)) return HostParamErr;
    const int32_t wanted = *count;
    int32_t n = wanted;
    if (f->resource) n = std::min(n, std::max(0, f->length - f->position));
    ssize_t got = 0;
    if (n > 0) {
        if (f->resource && Sys().lseek(f->fd, off_t(f->base) + f->position, SEEK_SET) < 0) got = -1;
        else got = ReadFull(f->fd, buffer, static_cast<size_t>(n));
    }
    if (got < 0) {
        *count = 0;
        return HostIOErr;
    }
    f->position += static_cast<int32_t>(got);
    *count = static_cast<int32_t>(got);
    if (f->resource && got < n) return HostIOErr;  // the sidecar is shorter than its table says
    return got < wanted ? int16_t(HostEofErr) : int16_t(HostNoErr);
}

int16_t HostWriteFork(HostForkRef ref, int32_t* count, const void* buffer) {
    OpenFork* f = ForkOf(ref);
    if (f == nullptr) {
        if (count) *count = 0;
        return HostRfNumErr;
    }
    if (count == nullptr || *count < 0 || (buffer == nullptr && *count > 0)) return HostParamErr;
    if (!f->writable) {
        *count = 0;
        return HostWrPermErr;
    }
    if (int64_t(f->position) + *count > INT32_MAX) {
        *count = 0;
        return HostDiskFullErr;
    }
    int error = 0;
    size_t written = 0;
    if (*count > 0) {
        if (f->resource && Sys().lseek(f->fd, off_t(f->base) + f->position, SEEK_SET) < 0) error = errno;
        else error = WriteFull(f->fd, buffer, static_cast<size_t>(*count), &written);
        NoteWritten(f->written);
    }
    f->position += static_cast<int32_t>(written);
    *count = static_cast<int32_t>(written);
    int16_t status = error == 0 ? int16_t(HostNoErr) : StatusOf(error);
    if (f->resource && f->position > f->length) {
        f->length = f->position;
        int16_t stored = StoreResourceLength(*f);
        if (status == HostNoErr) status = stored;
    }
    return status;
}

int16_t HostSetForkLength(HostForkRef ref, int32_t length) {
    OpenFork* f = ForkOf(ref);
    if (f == nullptr) return HostRfNumErr;
    if (length < 0) return HostParamErr;
    if (!f->writable) return HostWrPermErr;
    const off_t end = f->resource ? off_t(f->base) + length : off_t(length);
    if (Sys().ftruncate(f->fd, end) != 0) return StatusOf(errno);
    NoteWritten(f->written);
    int16_t status = HostNoErr;
    if (f->resource) {
        f->length = length;
        status = StoreResourceLength(*f);
    }
    if (f->position > length) {
        f->position = length;
        if (!f->resource && Sys().lseek(f->fd, length, SEEK_SET) < 0 && status == HostNoErr) status = HostIOErr;
    }
    return status;
}

int16_t HostGetForkPosition(HostForkRef ref, int32_t* position) {
    OpenFork* f = ForkOf(ref);
    if (f == nullptr) return HostRfNumErr;
    if (position == nullptr) return HostParamErr;
    *position = f->position;
    return HostNoErr;
}

int16_t HostCloseFork(HostForkRef ref) {
    OpenFork* f = ForkOf(ref);
    if (f == nullptr) return HostRfNumErr;
    int error = f->fd >= 0 ? CloseFd(f->fd) : 0;
    *f = OpenFork{};
    return error == 0 ? int16_t(HostNoErr) : int16_t(HostIOErr);
}

int16_t HostFlushVolume(const unsigned char* /*volumeName*/, int16_t volume) {
    if (volume != 0) return HostNoSuchVolErr;
    int16_t status = HostNoErr;
    for (const std::string& path : g_unflushed) {
        if (!g_durableFlush) break;
        int fd = Sys().open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC, 0);
        if (fd < 0) continue;  // gone since: nothing of it to keep
        if (Sys().fsync(fd) != 0 && status == HostNoErr) status = HostIOErr;
        CloseFd(fd);
    }
    g_unflushed.clear();
    return status;
}

void HostSetDurableFlush(bool on) { g_durableFlush = on; }

int32_t HostOpenForkCount(void) {
    int32_t n = 0;
    for (const OpenFork& f : g_forks) n += f.used ? 1 : 0;
    return n;
}

// ---- Odds and ends -------------------------------------------------------------------------------

void HostSwap16(uint16_t* value) {
    uint8_t b[2];
    std::memcpy(b, value, 2);
    *value = ReadBig16(b);
}

void HostSwap32(uint32_t* value) {
    uint8_t b[4];
    std::memcpy(b, value, 4);
    *value = ReadBig32(b);
}

int32_t HostFreeMemory(void) {
    struct sysinfo si;
    if (sysinfo(&si) != 0) return INT32_MAX;
    const uint64_t free = (uint64_t(si.freeram) + si.bufferram) * si.mem_unit;
    return free > uint64_t(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(free);
}

int32_t HostGetBlockSize(const void* block) {
    if (block == nullptr) return 0;
    const size_t size = malloc_usable_size(const_cast<void*>(block));
    return size > size_t(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(size);
}

}  // extern "C"
