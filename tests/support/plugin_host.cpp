// plugin_host.cpp: the test host's loading of libzor.so and its parameter blocks.
#include "support/plugin_host.h"

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace zor::test {

Str255::Str255(std::string_view s) {
    const size_t n = s.size() > 255 ? 255 : s.size();
    bytes[0] = static_cast<unsigned char>(n);
    std::memcpy(bytes + 1, s.data(), n);
}

Text::Text(std::string_view s) {
    block.length = static_cast<int16_t>(s.size());
    block.handle = NewHandleWith(s);
}

Text::~Text() {
    if (block.handle != nullptr) HostDisposeHandle(block.handle);
}

std::string Text::str() const {
    if (block.handle == nullptr || block.length <= 0) return {};
    return std::string(*block.handle, static_cast<size_t>(block.length));
}

std::string HandleBytes(HostHandle h) {
    if (h == nullptr) return {};
    return std::string(*h, static_cast<size_t>(HostGetHandleSize(h)));
}

HostHandle NewHandleWith(std::string_view bytes) {
    HostHandle h = HostNewHandle(static_cast<int32_t>(bytes.size()));
    if (h != nullptr && !bytes.empty()) std::memcpy(*h, bytes.data(), bytes.size());
    return h;
}

PluginHost::PluginHost(bool start) {
    library_ = dlopen(ZOR_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    if (library_ == nullptr) throw std::runtime_error(std::string("dlopen: ") + dlerror());
    entry = reinterpret_cast<RozoZIvavFunction>(dlsym(library_, "RozoZIvav"));
    if (entry == nullptr) throw std::runtime_error("RozoZIvav not exported");
    if (start) Start();
}

PluginHost::~PluginHost() {
    Stop();
    // The library stays loaded: its code may be named by an installed hook until the process ends.
}

void PluginHost::Start() {
    entry(ZorSelectorStartUp, nullptr, &globals, nullptr);
    started_ = true;
}

void PluginHost::Stop() {
    if (!started_) return;
    entry(ZorSelectorShutDown, nullptr, &globals, nullptr);
    started_ = false;
    if (globals != nullptr) {
        // The host owns the record once the plug-in is stopped.
        HostUnlockHandle(globals);
        HostDisposeHandle(globals);
        globals = nullptr;
    }
}

void PluginHost::Call(int32_t selector, std::initializer_list<void*> params, void* result) {
    std::vector<void*> block(params);
    block.push_back(nullptr);  // never read: keeps data() valid for commands without arguments
    entry(selector, block.data(), &globals, result);
}

int32_t PluginHost::CallInt(int32_t selector, std::initializer_list<void*> params) {
    void* slot = nullptr;
    int32_t value = kUntouched;
    std::memcpy(&slot, &value, sizeof value);
    Call(selector, params, &slot);
    std::memcpy(&value, &slot, sizeof value);
    return value;
}

std::string PluginHost::CallString(int32_t selector, std::initializer_list<void*> params) {
    Str255 buffer("untouched");
    unsigned char* slot = buffer.bytes;
    Call(selector, params, &slot);
    return buffer.str();
}

void PluginHost::CallText(int32_t selector, std::initializer_list<void*> params, Text& result) {
    if (result.block.handle != nullptr) HostDisposeHandle(result.block.handle);
    result.block = {0, nullptr};
    TextBlock* slot = &result.block;
    Call(selector, params, &slot);
}

}  // namespace zor::test
