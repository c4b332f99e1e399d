// Entry of the `svcmgr` program.
#include <clocale>
#include <iostream>

#include "platform/svcmgr/svcmgr_cli.h"

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    return SvcMgrMain(argc, argv, std::cout, std::cerr);
}
