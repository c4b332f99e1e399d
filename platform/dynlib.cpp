#include "platform/dynlib.h"

#include <dlfcn.h>

#include <utility>

DynLib::DynLib(const std::string& name) : handle_(dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL)) {}

DynLib::~DynLib() {
    Reset();
}

DynLib::DynLib(DynLib&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}

DynLib& DynLib::operator=(DynLib&& other) noexcept {
    if (this != &other) {
        Reset();
        handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
}

void* DynLib::Symbol(const char* name) const {
    if (!handle_)
        return nullptr;
    return dlsym(handle_, name);
}

void DynLib::Reset() {
    if (handle_)
        dlclose(std::exchange(handle_, nullptr));
}
