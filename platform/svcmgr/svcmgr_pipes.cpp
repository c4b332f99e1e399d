// The pipes of the services: the pipe directory is root's, so a service under any logon
// account asks the manager for the listening socket of each of its pipes. The manager binds it
// as itself, keeps the name as that service's in the registry, so that no other service takes
// it later, and hands the socket over on the answer socket that came with the request.
#include <cerrno>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/fdpassing.h"
#include "platform/namedpipe.h"
#include "platform/svcmgr/svcmgr_progdir.h"
#include "platform/svcmgr/svcmgr_proto.h"
#include "platform/svcmgr/svcmgr_services.h"
#include "platform/svcmgr/svcmgr_texts.h"
#include "platform/svcroot.h"

using svcproto::Error;
using svcproto::Format;

void TServiceTable::BindPipe(TEntry& entry, const std::string& request, int replyFd) {
    TUniqueFd listener;
    int code = 0;
    std::string text;
    try {
        std::string pipeName;
        uint32_t mode = 0;
        svcproto::DecodePipeBind(request.data(), request.size(), pipeName, mode);
        BindPipeOrThrow(entry, pipeName, mode, listener);
    } catch (const EOSError& e) {
        code = e.Code ? e.Code : EIO;
        text = e.what();
    }
    std::string answer = svcproto::EncodePipeBound(code, text);
    // The answer socket is new and empty: the answer fits, and a service that has gone
    // simply does not read it.
    if (listener)
        SendWithDescriptor(replyFd, answer, listener.Get());
    else
        send(replyFd, answer.data(), answer.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
}

namespace {

// More names than a service could use: a service that asks for one name after the other
// does not grow its registry file without end.
constexpr size_t MaxPipesPerService = 16;

bool Contains(const std::vector<std::string>& names, const std::string& name) {
    for (const std::string& each : names)
        if (each == name)
            return true;
    return false;
}

} // namespace

void TServiceTable::BindPipeOrThrow(TEntry& entry, const std::string& pipeName, uint32_t mode,
                                    TUniqueFd& listener) {
    if (!IsServicePipeName(pipeName) || !IsValidPipeName(pipeName))
        throw Error(EINVAL, Format(svctext::ErrPipeNameInvalid, pipeName.c_str()));
    if (entry.Phase != TPhase::Launching && entry.Phase != TPhase::Active)
        throw Error(ERROR_SERVICE_NOT_ACTIVE, svctext::ErrNotActive);
    // A program that declares its pipes gets those names only, and a program that declares
    // none gets no name that another service's program declares. A name that a service has
    // used is that service's from then on, whether it runs or not.
    const std::vector<std::string> declared = DeclaredServicePipes(entry.Config.BinaryPath);
    if (!declared.empty() && !Contains(declared, pipeName))
        throw Error(EACCES, Format(svctext::ErrPipeNotDeclared, pipeName.c_str()));
    for (const auto& [key, other] : entries_) {
        if (&other == &entry)
            continue;
        if (Contains(other.Config.Pipes, pipeName) ||
            (declared.empty() && Contains(DeclaredServicePipes(other.Config.BinaryPath), pipeName)))
            throw Error(EACCES, Format(svctext::ErrPipeNameTaken, pipeName.c_str(),
                                       other.Config.Name.c_str()));
    }
    // The name is the service's before its socket exists.
    if (!Contains(entry.Config.Pipes, pipeName)) {
        if (entry.Config.Pipes.size() >= MaxPipesPerService)
            throw Error(EMFILE, Format(svctext::ErrTooManyPipes, MaxPipesPerService));
        TRegisteredService changed = entry.Config;
        changed.Pipes.push_back(pipeName);
        if (!entry.MarkedForDelete)
            registry_.Save(changed);
        entry.Config = std::move(changed);
    }
    // A socket file gets read and write rights for whom the service asks, never more.
    listener.Reset(BindPipeListener(pipeName, static_cast<mode_t>(mode & 0666)));
    TEntry::TBoundPipe bound;
    bound.Path = PipeSocketPath(pipeName);
    struct stat st {};
    if (stat(bound.Path.c_str(), &st) == 0) {
        bound.Dev = st.st_dev;
        bound.Ino = st.st_ino;
    }
    for (TEntry::TBoundPipe& known : entry.BoundPipes)
        if (known.Path == bound.Path) {
            known = bound;
            return;
        }
    entry.BoundPipes.push_back(bound);
}

void TServiceTable::RemoveBoundPipes(TEntry& entry) {
    for (const TEntry::TBoundPipe& bound : entry.BoundPipes) {
        struct stat st {};
        if (lstat(bound.Path.c_str(), &st) == 0 && st.st_dev == bound.Dev && st.st_ino == bound.Ino)
            unlink(bound.Path.c_str());
    }
    entry.BoundPipes.clear();
}
