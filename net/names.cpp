// names.cpp: host names and IPv4 addresses through the platform's resolver.
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "net/net.h"

namespace zor::net {
namespace {

// The first IPv4 address the resolver gives for a name, host order; 0xFFFFFFFF when none.
uint32_t LookUp(const char* name) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) return INADDR_NONE;
    uint32_t address = INADDR_NONE;
    for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
        if (a->ai_family == AF_INET) {
            address = ntohl(reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr.s_addr);
            break;
        }
    }
    freeaddrinfo(found);
    return address;
}

void SetCounted(unsigned char* out, const char* s) {
    size_t n = std::strlen(s);
    if (n > 255) n = 255;
    out[0] = static_cast<unsigned char>(n);
    std::memcpy(out + 1, s, n);
}

}  // namespace

uint32_t LocalHostAddress() {
    char name[100];
    if (gethostname(name, sizeof name) != 0) return CachedLocalAddress();
    name[sizeof name - 1] = 0;
    const uint32_t address = LookUp(name);
    return address == INADDR_NONE ? CachedLocalAddress() : address;
}

uint32_t ResolveName(const unsigned char* name) {
    std::string text(reinterpret_cast<const char*>(name + 1), name[0]);
    if (text.empty()) {
        char own[256];
        if (gethostname(own, sizeof own) != 0) return CachedLocalAddress();
        own[sizeof own - 1] = 0;
        text = own;
    }
    uint32_t address;
    in_addr dotted{};
    if (text.find('\0') == std::string::npos && inet_aton(text.c_str(), &dotted) != 0)
        address = ntohl(dotted.s_addr);  // dotted text never goes to the resolver
    else
        address = text.find('\0') == std::string::npos ? LookUp(text.c_str()) : INADDR_NONE;
    return address == INADDR_NONE ? 0 : address;
}

void AddressToText(uint32_t address, int32_t mode, unsigned char* text) {
    text[0] = 0;
    const sockaddr_in a{AF_INET, 0, {htonl(address)}, {}};
    if (mode != 2) {
        char host[NI_MAXHOST];
        if (getnameinfo(reinterpret_cast<const sockaddr*>(&a), sizeof a, host, sizeof host, nullptr, 0,
                        NI_NAMEREQD) == 0)
            SetCounted(text, host);
    }
    if (text[0] == 0 && mode != 1) {
        char dotted[INET_ADDRSTRLEN];
        if (inet_ntop(AF_INET, &a.sin_addr, dotted, sizeof dotted) != nullptr) SetCounted(text, dotted);
    }
}

}  // namespace zor::net
