// The `svcmgr` program: `run` serves as the manager; `list`, `query`, `start`, `stop`,
// `starttype` and `config` are the administrator's client. Prints the state text; on failure prints
// the error text and returns non-zero.
#pragma once

#include <iostream>

// `in` gives the password of `svcmgr config NAME account USER`.
int SvcMgrMain(int argc, char** argv, std::ostream& out, std::ostream& err,
               std::istream& in = std::cin);
