// plugin_host.h: a host for tests: loads libzor.so, starts it, and calls commands through RozoZIvav
// with real parameter blocks, the way zor-host does.
#ifndef ZOR_TESTS_PLUGIN_HOST_H
#define ZOR_TESTS_PLUGIN_HOST_H

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "zor/host_toolbox.h"

namespace zor::test {

// A counted string variable of the host.
struct Str255 {
    unsigned char bytes[256] = {0};
    Str255() = default;
    explicit Str255(std::string_view s);
    std::string str() const { return std::string(reinterpret_cast<const char*>(bytes + 1), bytes[0]); }
};

// A text variable of the host whose handle it owns.
struct Text {
    TextBlock block{0, nullptr};
    Text() = default;
    explicit Text(std::string_view s);
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;
    ~Text();
    std::string str() const;
};

// Bytes of a handle.
std::string HandleBytes(HostHandle h);
// A new handle holding the bytes.
HostHandle NewHandleWith(std::string_view bytes);

class PluginHost {
public:
    static constexpr int32_t kUntouched = 0x5A5A5A5A;  // what integer result slots hold before a call

    explicit PluginHost(bool start = true);
    ~PluginHost();
    PluginHost(const PluginHost&) = delete;
    PluginHost& operator=(const PluginHost&) = delete;

    void Start();
    void Stop();
    // Calls a command; `result` is the result slot (pointer-sized).
    void Call(int32_t selector, std::initializer_list<void*> params, void* result);
    // Calls a command with an integer result; the slot holds kUntouched before the call.
    int32_t CallInt(int32_t selector, std::initializer_list<void*> params);
    // Calls a command with a string result.
    std::string CallString(int32_t selector, std::initializer_list<void*> params);
    // Calls a command with a text result; the returned text owns its handle.
    void CallText(int32_t selector, std::initializer_list<void*> params, Text& result);

    HostHandle globals = nullptr;  // the host's variable for the plug-in's global record
    RozoZIvavFunction entry = nullptr;

private:
    void* library_ = nullptr;
    bool started_ = false;
};

}  // namespace zor::test

#endif  // ZOR_TESTS_PLUGIN_HOST_H
