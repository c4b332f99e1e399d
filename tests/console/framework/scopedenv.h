// Sets an environment variable for one test and puts the previous value back at its end.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = getenv(name))
            saved_ = old;
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() { saved_ ? (void)setenv(name_, saved_->c_str(), 1) : (void)unsetenv(name_); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> saved_;
};
