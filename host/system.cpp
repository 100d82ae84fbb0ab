// system.cpp: the table of system calls that every allocation and raw file call goes through.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <cstdio>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "host/host_internal.h"

namespace zor::host {
namespace {

int OpenFile(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int StatPath(const char* path, struct stat* status) { return ::stat(path, status); }

const HostSystemCalls kDefaults = {
    std::malloc, std::realloc, std::free, OpenFile, ::read, ::write, ::lseek, ::fstat, ::ftruncate, ::fsync, ::close,
    StatPath, ::unlink, ::rename, ::futimens, ::fchmod, ::poll, ::connect,
};

HostSystemCalls g_calls = kDefaults;

}  // namespace

HostSystemCalls& Sys() { return g_calls; }

bool EnvironmentFlag(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && std::strcmp(value, "1") == 0;
}

}  // namespace zor::host

extern "C" {

HostSystemCalls* HostSystemCallTable(void) { return &zor::host::g_calls; }

void HostRestoreSystemCalls(void) { zor::host::g_calls = zor::host::kDefaults; }

}  // extern "C"
