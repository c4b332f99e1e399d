// Shared pieces of the tests of local pipes: a pipe namespace of the test's own, the name a
// client opens, and a wait for a server that creates its pipe on a thread of its own.
#pragma once

#include <string>

#include "tests/support/tempdir.h"

// A temporary directory that is the pipe namespace ($SVCMGR_ROOT) while it lives.
class PipeNamespace : public TempDir {
public:
    PipeNamespace();
    // Gives SVCMGR_ROOT back its former value.
    ~PipeNamespace();

private:
    std::string savedRoot_;
    bool hadRoot_ = false;
};

// The name a client opens for the pipe `name`: "\\.\pipe\<name>".
std::string PipePath(const std::string& name);

// Waits up to 5 s until the pipe `name` exists; a failure of the test when it does not.
void WaitForPipe(const std::string& name);
