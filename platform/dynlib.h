// A shared library loaded at run time; unloaded when the object goes.
#pragma once

#include <string>

class DynLib {
public:
    DynLib() = default;
    // Loads `name` (dlopen with the loader's search rules); Loaded() tells whether it worked.
    explicit DynLib(const std::string& name);
    ~DynLib();
    DynLib(DynLib&& other) noexcept;
    DynLib& operator=(DynLib&& other) noexcept;
    DynLib(const DynLib&) = delete;
    DynLib& operator=(const DynLib&) = delete;

    bool Loaded() const { return handle_ != nullptr; }
    // Address of the symbol `name`; nullptr when not found or nothing is loaded.
    void* Symbol(const char* name) const;
    // Unloads the library now.
    void Reset();

private:
    void* handle_ = nullptr;
};
