// The `svcmgr` program: `run` serves as the manager; `list`, `query`, `start` and `stop` are
// the administrator's client. Prints the state text; on failure prints the error text and
// returns non-zero.
#pragma once

#include <iosfwd>

int SvcMgrMain(int argc, char** argv, std::ostream& out, std::ostream& err);
