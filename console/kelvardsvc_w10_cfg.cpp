// The transfer console program: one main window on the transfer service of this PC or
// another. It changes and restarts a system service, so it runs as root: started by another
// user it starts itself again through pkexec, keeping what the display needs, or says that it
// must run as root.
#include <QApplication>
#include <QMessageBox>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "common/Comserv.h"
#include "common/langtext.h"
#include "common/vcrt_helper.h"
#include "console/framework/consoleapp.h"
#include "console/framework/uifacade.h"
#include "console/kelvardsvc_cfgmain.h"

namespace {

// Environment variables that a window needs to reach the user's display.
constexpr const char* DisplayVariables[] = {"DISPLAY",         "XAUTHORITY",      "WAYLAND_DISPLAY",
                                            "XDG_RUNTIME_DIR", "QT_QPA_PLATFORM", "LANG",
                                            "LC_ALL"};

std::string FindOnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        std::string candidate = dirs.substr(start, end - start) + "/" + program;
        if (end > start && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return {};
}

// Replaces this process with `pkexec env <display variables> <this program> <arguments>`;
// returns only when that cannot be started.
void RestartThroughPkexec(int argc, char** argv) {
    const std::string pkexec = FindOnPath("pkexec");
    if (pkexec.empty())
        return;
    std::vector<std::string> words{pkexec, "/usr/bin/env"};
    for (const char* name : DisplayVariables)
        if (const char* value = std::getenv(name))
            words.push_back(std::string(name) + "=" + value);
    words.push_back(ProgramDir() + "/kelvardsvc_w10_cfg");
    for (int i = 1; i < argc; ++i)
        words.emplace_back(argv[i]);
    std::vector<char*> arguments;
    for (std::string& word : words)
        arguments.push_back(word.data());
    arguments.push_back(nullptr);
    ::execv(pkexec.c_str(), arguments.data());
}

// Qt reads qt.conf from the program's directory and loads plugins from its subdirectories. A
// directory that another user may write (a service's directory opened to its account, say)
// could make Qt run that user's code as the console's user: the console then does not start.
bool ProgramDirectoryIsOwn() {
    struct stat st {};
    const std::string dir = ProgramDir();
    return ::stat(dir.c_str(), &st) == 0 && (st.st_uid == 0 || st.st_uid == ::geteuid()) &&
           (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

} // namespace

int main(int argc, char** argv) {
    // A mail program or a peer that goes away must fail its call, not end the console.
    std::signal(SIGPIPE, SIG_IGN);
    std::setlocale(LC_ALL, "");
    if (!ProgramDirectoryIsOwn()) {
        std::fprintf(stderr, langtext::KvProgramDirOpen, ProgramDir().c_str());
        std::fputc('\n', stderr);
        return 1;
    }
    if (::geteuid() != 0) {
        RestartThroughPkexec(argc, argv);
        QApplication application(argc, argv);
        InstallQtTranslation(application);
        QApplication::setApplicationName(QString::fromStdString(langtext::KvConsoleTitle));
        TUiFacade().ShowError(nullptr, langtext::KvNeedsRoot);
        return 1;
    }
    TUiFacade ui;
    TConsoleApplication application(argc, argv, ui);
    InstallQtTranslation(application);
    QApplication::setApplicationName(QString::fromStdString(langtext::KvConsoleTitle));
    LoadCrtFunctions();
    std::vector<std::string> arguments(argv + 1, argv + argc);
    std::unique_ptr<TMainWnd> window = TSvcWndBase::CreateWindow<TMainWnd>(ui, arguments);
    window->show();
    int result = application.exec();
    UnloadCrtFunctions();
    return result;
}
