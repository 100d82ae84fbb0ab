// host_toolbox.h: the host toolbox services the plug-in draws on, as libzorhost.so provides them.
//
// Divisions: memory; time and yield; dates; text; named resources; start-up services; the
// platform stand-ins (version, millisecond counter); the system-call table that tests replace;
// test controls. Files, drawing and socket events have headers of their own, included at the end.
// Every operation has C linkage and reports Macintosh-style status numbers.
#ifndef ZOR_HOST_TOOLBOX_H
#define ZOR_HOST_TOOLBOX_H

#include <poll.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <time.h>

#include "zor/zor.h"

#ifdef __cplusplus
extern "C" {
#endif

// Status numbers shared by every service.
enum {
    HostNoErr = 0,
    HostParamErr = -50,       // a bad argument
    HostMemFullErr = -108,    // not enough memory, or a locked block that would have to move
    HostNilHandleErr = -109,  // a null handle or master pointer
};

// ---- Memory --------------------------------------------------------------------------------------
// A handle's state byte: HostHandleLocked set while the block may not move.
enum { HostHandleLocked = 0x80 };

HostHandle HostNewHandle(int32_t size);
HostHandle HostNewHandleClear(int32_t size);
// Keeps the first bytes. An unlocked block may move; a locked one that cannot stay in place is left
// as it was and HostMemoryError reports HostMemFullErr.
void HostSetHandleSize(HostHandle h, int32_t size);
int32_t HostGetHandleSize(HostHandle h);
void HostDisposeHandle(HostHandle h);
void HostLockHandle(HostHandle h);
void HostUnlockHandle(HostHandle h);
int8_t HostGetHandleState(HostHandle h);
void HostSetHandleState(HostHandle h, int8_t state);
// Replaces *h with a new handle holding a copy of its data; 0 or a status.
int16_t HostCopyHandle(HostHandle* h);
void* HostNewBlock(int32_t size);
void* HostNewBlockClear(int32_t size);
void HostDisposeBlock(void* block);
// Status of the last memory operation, 0 on success.
int16_t HostMemoryError(void);
void HostCopyBytes(const void* source, void* target, int32_t count);
// Finds target[0..targetLength) in h at or after start. With replacement non-null, the occurrence is
// replaced by replacement[0..replacementLength) (the handle resized) and the offset just past the
// replacement is returned; otherwise the occurrence's offset. Negative when there is none (or when a
// replacement could not be made).
int32_t HostSearchHandle(HostHandle h, int32_t start, const void* target, int32_t targetLength,
                         const void* replacement, int32_t replacementLength);

// ---- Time and yield -------------------------------------------------------------------------------
// Ticks, 60 per second, from a monotonic clock (or the manual clock of the test controls).
uint32_t HostTicks(void);
// Runs the host's pending work: socket events to the event hook (at most one check a tick), then
// the test callback when one is set.
void HostYield(void);
// Returns after that many ticks (at once on the manual clock, which it advances).
void HostDelay(uint32_t ticks);
// Yields as HostYield does, for a loop that waits: on `socket` becoming ready for `events` (poll's
// bits; a negative socket waits on time alone) or on `ticks` passing, whichever comes first (0: look
// and come back at once; 0xFFFFFFFF: no time limit, the socket or the host's own wake alone). Without
// a wait hook the layer sleeps in poll (through the system-call table) for at most one tick and never
// on the manual clock, so a waiting host takes no processor time. It may return early for any
// reason: the caller looks again at its socket, its time-out and the cancel request.
void HostYieldWaiting(int32_t socket, int16_t events, uint32_t ticks);
// A host that runs several flows of work (processes) installs a wait hook (0 removes it). HostYield
// calls it with socket -1, events 0, ticks 0 (give way, nothing awaited); HostYieldWaiting with what
// it waits for, in place of the layer's own sleep. Socket events are delivered before it, and the test
// callback runs after it.
typedef void (*HostWaitHook)(void* context, int32_t socket, int16_t events, uint32_t ticks);
void HostSetWaitHook(HostWaitHook hook, void* context);

// ---- Cancel ---------------------------------------------------------------------------------------
// Non-zero while the host wants the running command stopped (its user asked to abort). The plug-in's
// loops that wait on a peer, a time-out or a long file look at it at each yield and end as their
// broken-connection or failed-file path does. The host clears the request when the command returns.
int32_t HostCancelRequested(void);
// Asks for the running command to stop. Safe to call from a signal handler or another thread.
void HostRequestCancel(void);
// Withdraws the request (the host does so once the command has returned).
void HostClearCancel(void);

// ---- Dates ----------------------------------------------------------------------------------------
// Host seconds: unsigned 32-bit from 1904-01-01 00:00:00, no time zone, years 1904 to 2040.
typedef struct DateTimeFields {
    int16_t year;       // 1904..2040
    int16_t month;      // 1..12
    int16_t day;        // 1..31
    int16_t hour;       // 0..23
    int16_t minute;     // 0..59
    int16_t second;     // 0..59
    int16_t dayOfWeek;  // 1 Sunday .. 7 Saturday
} DateTimeFields;

void HostSecondsToDate(uint32_t seconds, DateTimeFields* fields);
// Ignores the day of week; out-of-range fields carry over (month 13 is January of the next year).
void HostDateToSeconds(const DateTimeFields* fields, uint32_t* seconds);

// ---- Text -----------------------------------------------------------------------------------------
// Strings here are counted: a length byte, then at most 255 bytes of Mac Roman.
void HostNumberToText(int32_t number, unsigned char* text);
// Optional sign, decimal digits; stops at the first other byte.
void HostTextToNumber(const unsigned char* text, int32_t* number);
// True when equal. caseSensitive false: letters compare case-blind (Mac Roman accented letters
// too); diacriticSensitive false: accents are ignored.
bool HostEqualText(const unsigned char* a, const unsigned char* b, bool caseSensitive,
                   bool diacriticSensitive);

// ---- Named resources ------------------------------------------------------------------------------
// Packs a four-character resource type: HostResourceType("ZORc").
#define HostResourceType(s)                                                                       \
    ((uint32_t)(unsigned char)(s)[0] << 24 | (uint32_t)(unsigned char)(s)[1] << 16 |              \
     (uint32_t)(unsigned char)(s)[2] << 8 | (uint32_t)(unsigned char)(s)[3])
// The plug-in's resource of that type and (counted) name, or 0. The host layer owns the handle.
// The file is ZOR_RESOURCES when set, else libzor.rsrc beside the loaded plug-in.
HostHandle HostGetNamedResource(uint32_t type, const unsigned char* name);

// ---- Start-up services ----------------------------------------------------------------------------
typedef struct HostRect {
    int16_t top;
    int16_t left;
    int16_t bottom;
    int16_t right;
} HostRect;

// A native window message as the event hook receives it.
typedef struct HostEventMessage {
    void* window;       // the native window the message is for
    uint32_t message;   // the message number given when the socket was subscribed
    intptr_t wParam;    // for socket events: the socket
    intptr_t lParam;    // for socket events: the event bits (low 16) and an error number (high 16)
} HostEventMessage;

// Returns 0 when it consumed the message, 1 when the host should handle it.
typedef int32_t (*HostEventHook)(void* window, HostEventMessage* message);

typedef struct HostWindowRecord* HostWindow;

void HostSetEventHook(HostEventHook hook);  // 0 removes it
HostEventHook HostCurrentEventHook(void);
void HostSetRect(HostRect* r, int16_t left, int16_t top, int16_t right, int16_t bottom);
HostWindow HostNewWindow(void* storage, const HostRect* bounds, const unsigned char* title,
                         bool visible, int16_t kind, HostWindow behind, bool closeBox,
                         int32_t reference);
void* HostNativeWindow(HostWindow window);
void HostDisposeWindow(HostWindow window);
// Shows a message to the user (on standard error, prefixed with the host's name).
void HostAlert(const char* message);

// ---- Platform stand-ins ---------------------------------------------------------------------------
enum { HostPlatformWindows = 1, HostPlatformWindowsNT = 2 };
// The platform identifier start-up asks for: HostPlatformWindowsNT when the host runs polling only
// (ZOR_POLLING_ONLY=1 or HostSetPollingOnly), else HostPlatformWindows.
int32_t HostPlatformId(void);
// The native parent of a native window: the host's event window, or 0.
void* HostParentWindow(void* nativeWindow);
// The millisecond counter: monotonic, wrapping at 2^32, plus the test offset.
uint32_t HostMilliseconds(void);

// ---- System calls ---------------------------------------------------------------------------------
// Every allocation, raw file call and socket wait of the host layer and the plug-in goes through this
// table, so a test can make the Nth one fail or watch it. The defaults are the C library's.
struct stat;
struct timespec;
typedef struct HostSystemCalls {
    void* (*allocate)(size_t size);
    void* (*reallocate)(void* block, size_t size);
    void (*release)(void* block);
    int (*open)(const char* path, int flags, mode_t mode);
    ssize_t (*read)(int fd, void* buffer, size_t count);
    ssize_t (*write)(int fd, const void* buffer, size_t count);
    off_t (*lseek)(int fd, off_t offset, int whence);
    int (*fstat)(int fd, struct stat* status);
    int (*ftruncate)(int fd, off_t length);
    int (*fsync)(int fd);
    int (*close)(int fd);
    // Appended for the file model (paths, sidecars, dates, lock state).
    int (*stat)(const char* path, struct stat* status);
    int (*unlink)(const char* path);
    int (*rename)(const char* from, const char* to);
    int (*futimens)(int fd, const struct timespec* times);  // times[0] access, times[1] modification
    int (*fchmod)(int fd, mode_t mode);
    // Appended for the socket layer: its waits for readiness.
    int (*poll)(struct pollfd* fds, nfds_t count, int timeout);
    // Appended for outgoing connections (a full port range answers EADDRNOTAVAIL).
    int (*connect)(int socket, const struct sockaddr* address, socklen_t length);
    // Appended for file transfers: a file's bytes sent to a socket without a copy through a buffer.
    ssize_t (*sendfile)(int socket, int fd, off_t* offset, size_t count);
} HostSystemCalls;

HostSystemCalls* HostSystemCallTable(void);
void HostRestoreSystemCalls(void);

// ---- Test and host controls -----------------------------------------------------------------------
// Manual clock: HostTicks stands still until advanced.
void HostSetManualClock(bool on);
void HostAdvanceTicks(uint32_t ticks);
// Called at the end of every HostYield (0 removes it).
void HostSetYieldCallback(void (*callback)(void* context), void* context);
// Scramble mode (also ZOR_HEAP_SCRAMBLE=1): every resize moves an unlocked block and fills the old
// place with garbage before freeing it.
void HostSetHeapScramble(bool on);
bool HostHeapScramble(void);
void HostSetMillisecondOffset(uint32_t offset);
void HostSetPollingOnly(bool on);
// Resource file path (0 goes back to ZOR_RESOURCES or the file beside the plug-in).
void HostSetResourcePath(const char* path);
// Handles and blocks currently allocated: leak checks in tests.
int64_t HostLiveAllocations(void);

#ifdef __cplusplus
}  // extern "C"
#endif

#include "zor/host_events.h"
#include "zor/host_files.h"
#include "zor/host_drawing.h"

#endif  // ZOR_HOST_TOOLBOX_H
