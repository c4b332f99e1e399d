#include "tests/support/fake_nmcli.h"

#include <cstdlib>
#include <stdexcept>
#include <sys/stat.h>

#include "tests/support/tempdir.h"

namespace {

constexpr const char* kScript = R"SH(#!/bin/sh
d="$FAKE_NM_DIR"
for a in "$@"; do printf '[%s]' "$a"; done >> "$d/calls"
echo >> "$d/calls"
[ -f "$d/sleep" ] && sleep "$(cat "$d/sleep")"
[ -f "$d/exit_all" ] && exit "$(cat "$d/exit_all")"
case "$1 $2 $3 $4 $5 $6" in
"-t -f NAME,TYPE connection show ") cat "$d/profiles" 2>/dev/null; exit 0 ;;
"-t -f NAME,UUID,TYPE,DEVICE connection show --active") cat "$d/active" 2>/dev/null; exit 0 ;;
esac
if [ "$1 $2 $3" = "connection up id" ]; then
    [ -f "$d/up_sleep" ] && sleep "$(cat "$d/up_sleep")"
    [ -f "$d/up_leaves" ] && cat "$d/up_leaves" >> "$d/active"
    exit "$(cat "$d/up_rc" 2>/dev/null || echo 0)"
fi
if [ "$1 $2 $3" = "connection down uuid" ]; then
    grep -q -F ":$4:" "$d/active" 2>/dev/null || exit 10
    grep -v -F ":$4:" "$d/active" > "$d/active.new"
    mv "$d/active.new" "$d/active"
    exit "$(cat "$d/down_rc" 2>/dev/null || echo 0)"
fi
exit 2
)SH";

void MakeDirectory(const std::string& path) {
    if (mkdir(path.c_str(), 0700) != 0)
        throw std::runtime_error("cannot make " + path);
}

} // namespace

FakeNmcli::FakeNmcli(const std::string& directory) : state_(directory + "/state") {
    const std::string bin = directory + "/bin";
    MakeDirectory(bin);
    MakeDirectory(state_);
    WriteTextFile(bin + "/nmcli", kScript);
    if (chmod((bin + "/nmcli").c_str(), 0755) != 0)
        throw std::runtime_error("cannot make the fake nmcli executable");
    if (const char* path = getenv("PATH"))
        savedPath_ = path;
    if (const char* stateDir = getenv("FAKE_NM_DIR")) {
        hadStateDir_ = true;
        savedStateDir_ = stateDir;
    }
    setenv("PATH", (bin + ":" + savedPath_).c_str(), 1);
    setenv("FAKE_NM_DIR", state_.c_str(), 1);
}

FakeNmcli::~FakeNmcli() {
    setenv("PATH", savedPath_.c_str(), 1);
    if (hadStateDir_)
        setenv("FAKE_NM_DIR", savedStateDir_.c_str(), 1);
    else
        unsetenv("FAKE_NM_DIR");
}

void FakeNmcli::SetState(const std::string& name, const std::string& content) const {
    WriteTextFile(state_ + "/" + name, content);
}

std::string FakeNmcli::StateOf(const std::string& name) const {
    return ReadTextFile(state_ + "/" + name);
}

std::vector<std::string> FakeNmcli::TakeCalls() const {
    std::string all = StateOf("calls");
    SetState("calls", "");
    std::vector<std::string> calls;
    for (size_t start = 0; start < all.size();) {
        size_t end = all.find('\n', start);
        if (end == std::string::npos)
            end = all.size();
        calls.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    return calls;
}
