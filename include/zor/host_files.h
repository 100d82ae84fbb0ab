// host_files.h: the host toolbox's Macintosh-style file operations on POSIX files with AppleDouble sidecars.
//
// A name is a counted string holding a POSIX path, relative to the working directory (volume 0,
// directory 0), in Mac Roman; on disk names are UTF-8 (a name whose bytes are not UTF-8 and that
// names an existing file only as they stand is used byte for byte). A leaf `._anything` is a bad
// name: such files are sidecars. The data fork is the file's bytes. The resource fork, the Finder information and the
// creation date live in an AppleDouble (version 2) sidecar `._leaf` beside the file; a file without
// one has an empty resource fork and zero Finder information, and a file that gains either gets one.
// Locked = no write permission bits. Modification date = the file's mtime. Dates are host seconds.
// Only regular files are files: a folder, a device or a FIFO is "not found", and no open waits on
// one. A sidecar is the file's own: one that is a symbolic link reads as none, and writing replaces
// the link with a sidecar of the file's own, never writing through it.
// Every operation returns a Mac OS status: 0 or one of the negative numbers below.
#ifndef ZOR_HOST_FILES_H
#define ZOR_HOST_FILES_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    HostDiskFullErr = -34,     // no room left on the volume
    HostNoSuchVolErr = -35,    // a volume other than 0
    HostIOErr = -36,           // any other failure of the platform
    HostBadNameErr = -37,      // empty, too long, or not a possible leaf name
    HostEofErr = -39,          // end of the fork before the bytes asked for
    HostFnfErr = -43,          // no such file
    HostDupFNErr = -48,        // the name exists already
    HostOpWrErr = -49,         // already open for writing
    HostPermErr = -54,         // cannot be opened with that permission (locked, or no access)
    HostWrPermErr = -61,       // written through a fork opened for reading
    HostRfNumErr = -51,        // a fork reference that names no open fork
    HostDirNFErr = -120,       // no such directory
};

// Permissions for the open operations.
enum {
    HostPermAny = 0,        // read and write when allowed, else read only
    HostPermRead = 1,
    HostPermWrite = 2,
    HostPermReadWrite = 3,
};

// A 16-bit reference to an open fork; 0 = none.
typedef int16_t HostForkRef;

// A resolved file name.
typedef struct HostFileSpec {
    int16_t volume;           // always 0: the working directory's file system
    int32_t directory;        // parent directory id: 0 = the working directory
    unsigned char name[64];   // the leaf name, counted, at most 63 characters
} HostFileSpec;

// The Finder's record of a file (the first 16 bytes of AppleDouble entry 9, in native order here).
typedef struct HostFinderInfo {
    uint32_t type;            // file type, first character most significant
    uint32_t creator;         // file creator, same order
    uint16_t flags;           // Finder flags
    int16_t locationV;        // icon location, vertical
    int16_t locationH;        // icon location, horizontal
    int16_t folder;           // window the icon belongs to
} HostFinderInfo;

// What the catalog knows of a file. volume, directory, name and index name the file for Get; Set
// writes finderInfo, attributes (bit 0: locked), created and modified.
typedef struct HostCatalogInfo {
    int16_t volume;                 // in: volume reference
    int32_t directory;              // in: parent directory id
    const unsigned char* name;      // in: counted leaf name (or path)
    int16_t index;                  // in: 0 = by name
    HostFinderInfo finderInfo;      // type, creator, flags, location, folder
    uint8_t attributes;             // bit 0: locked
    int32_t dataLength;             // logical length of the data fork
    int32_t resourceLength;         // logical length of the resource fork
    uint32_t created;               // creation date, host seconds
    uint32_t modified;              // modification date, host seconds
} HostCatalogInfo;

// Resolves a name against a volume and directory. The FileSpec is filled also when the file does not
// exist (status -43 then); -120 when the parent directory does not exist; -37 for a bad name.
int16_t HostMakeFileSpec(int16_t volume, int32_t directory, const unsigned char* name, HostFileSpec* spec);

// What a file is, whatever name leads to it: the device and inode of the file the name resolves to,
// symbolic links followed. Two names are the same file (a hard link, a link, another path) exactly
// when their identities are equal.
typedef struct HostFileId {
    uint64_t device;          // the file system holding the file
    uint64_t inode;           // the file on it
} HostFileId;

// The identity of the file a name leads to; -43 when there is none (or it is no file: a folder, a
// device, a FIFO), -37 for a bad name.
int16_t HostGetFileId(int16_t volume, int32_t directory, const unsigned char* name, HostFileId* id);

// The identity of a file's sidecar (where its resource fork and Finder information live); -43 when
// the file has none of its own (a symbolic link in its place is none).
int16_t HostGetSidecarId(int16_t volume, int32_t directory, const unsigned char* name, HostFileId* id);

// A file written whole and then put in place, so a failed write leaves what a name held as it was.
// HostCreateReplacement makes a new file beside `name` under a fresh temporary name (written to
// `temporary`, counted, 256 bytes) with an empty data fork and, when `name` exists, a copy of its
// sidecar (its resource fork, Finder information and dates). -54 when `name` is locked; -120 when
// its folder is missing; -37 for a bad name. HostCommitReplacement moves the temporary file and its
// sidecar onto `name` (onto the file a symbolic link leads to, keeping the link), with the
// permission bits `name` had; HostDeleteFile removes a file and its sidecar (an abandoned
// replacement).
int16_t HostCreateReplacement(int16_t volume, int32_t directory, const unsigned char* name, unsigned char* temporary);
int16_t HostCommitReplacement(const unsigned char* temporary, const unsigned char* name);
int16_t HostDeleteFile(int16_t volume, int32_t directory, const unsigned char* name);

// The path on disk a name leads to, NUL-terminated in path[0..size), for operations that work on
// the file outside this layer (raw transfers): the same file every other operation finds under
// that name. -37 for an empty name, one holding a NUL byte, a sidecar's leaf, or a path longer than
// `size` allows.
int16_t HostDiskPath(int16_t volume, int32_t directory, const unsigned char* name, char* path, int32_t size);

int16_t HostGetCatalogInfo(HostCatalogInfo* info);
int16_t HostSetCatalogInfo(const HostCatalogInfo* info);
int16_t HostGetFinderInfo(const unsigned char* name, int16_t volume, HostFinderInfo* info);
int16_t HostSetFinderInfo(const unsigned char* name, int16_t volume, const HostFinderInfo* info);

// Create an empty file with both forks empty; -48 when the name exists (the file is left alone).
int16_t HostCreateFile(const unsigned char* name, int16_t volume, uint32_t creator, uint32_t type);
int16_t HostCreateFileIn(int16_t volume, int32_t directory, const unsigned char* name, uint32_t creator,
                         uint32_t type);

// Open one fork of an existing file, positioned at 0. The plain forms open for reading and writing.
int16_t HostOpenDataFork(const unsigned char* name, int16_t volume, HostForkRef* fork);
int16_t HostOpenDataForkIn(int16_t volume, int32_t directory, const unsigned char* name, int8_t permission,
                           HostForkRef* fork);
int16_t HostOpenDataForkByRecord(const HostFileSpec* spec, int8_t permission, HostForkRef* fork);
int16_t HostOpenResourceFork(const unsigned char* name, int16_t volume, HostForkRef* fork);
int16_t HostOpenResourceForkIn(int16_t volume, int32_t directory, const unsigned char* name,
                               int8_t permission, HostForkRef* fork);

// Reads up to *count bytes from the current position. When the fork ends first: -39 and *count =
// the bytes read (possibly 0); otherwise 0, also when the last byte read is the fork's last.
int16_t HostReadFork(HostForkRef fork, int32_t* count, void* buffer);
// Writes all *count bytes at the current position, growing the fork; *count = bytes written.
int16_t HostWriteFork(HostForkRef fork, int32_t* count, const void* buffer);
// Cuts or extends the fork (with zeros); a position beyond the new end moves to it.
int16_t HostSetForkLength(HostForkRef fork, int32_t length);
int16_t HostGetForkPosition(HostForkRef fork, int32_t* position);
int16_t HostCloseFork(HostForkRef fork);
// Makes what was written on the volume since the last flush durable.
int16_t HostFlushVolume(const unsigned char* volumeName, int16_t volume);

// Byte order: big-endian <-> native, in place.
void HostSwap16(uint16_t* value);
void HostSwap32(uint32_t* value);
// Free memory the host could hand out, in bytes (at most 2^31 - 1).
int32_t HostFreeMemory(void);
// Size of a block from HostNewBlock.
int32_t HostGetBlockSize(const void* block);
// Host control: with durable on (the default) HostFlushVolume waits until what was written since
// the last flush is on the disk (fsync); off, it only forgets the list, for hosts and test runs that
// do not need the wait.
void HostSetDurableFlush(bool on);
// Forks open now: leak checks in tests.
int32_t HostOpenForkCount(void);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // ZOR_HOST_FILES_H
