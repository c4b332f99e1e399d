#include "platform/svcmgr/svcmgr_registry.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/atomicfile.h"
#include "platform/errors.h"
#include "platform/svcmgr/svcmgr_proto.h"
#include "platform/svcmgr/svcmgr_texts.h"

namespace {

constexpr size_t MaxNameLength = 256;
constexpr size_t MaxTextLength = 256;
constexpr size_t MaxPathLength = 4095;
constexpr const char* FileSuffix = ".svc";

bool HasControlCharacter(const std::string& text) {
    for (unsigned char c : text)
        if (c < 32 || c == 127)
            return true;
    return false;
}

[[noreturn]] void Invalid(const char* text) {
    throw EOSError(EINVAL, text);
}

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

} // namespace

void ValidateServiceName(const std::string& name) {
    if (name.empty() || name.size() > MaxNameLength)
        Invalid(svctext::ErrInvalidName);
    for (unsigned char c : name)
        if (c < 33 || c > 126 || c == '/' || c == '\\')
            Invalid(svctext::ErrInvalidName);
}

void ValidateNewServiceName(const std::string& name) {
    ValidateServiceName(name);
    if (name[0] == '.')
        Invalid(svctext::ErrNameStartsWithDot);
    if (name.size() + std::strlen(FileSuffix) > NAME_MAX)
        throw EOSError(
            EINVAL, svcproto::Format(svctext::ErrNameTooLong, NAME_MAX - std::strlen(FileSuffix)));
}

void ValidateDisplayName(const std::string& displayName) {
    if (displayName.size() > MaxTextLength || HasControlCharacter(displayName))
        Invalid(svctext::ErrInvalidDisplayName);
}

void ValidateBinaryPath(const std::string& path) {
    if (path.empty() || path[0] != '/' || path.size() > MaxPathLength || HasControlCharacter(path))
        Invalid(svctext::ErrInvalidPath);
}

void ValidateStartName(const std::string& account) {
    if (account.size() > MaxTextLength || HasControlCharacter(account))
        Invalid(svctext::ErrInvalidAccount);
}

void ValidatePassword(const std::string& password) {
    if (password.size() > MaxTextLength || HasControlCharacter(password))
        Invalid(svctext::ErrInvalidPassword);
}

bool IsServicePipeName(const std::string& name) {
    if (name.empty() || name.size() > 100)
        return false;
    for (char c : name)
        if (c < '!' || c > '~' || c == '/' || c == '\\' || c == ',')
            return false;
    return name != "." && name != "..";
}

// The names of a "Pipes=" line; names the manager would not bind are left out.
static std::vector<std::string> SplitPipeNames(const std::string& value) {
    std::vector<std::string> names;
    size_t start = 0;
    while (start <= value.size()) {
        size_t comma = value.find(',', start);
        std::string name = value.substr(start, comma == std::string::npos ? comma : comma - start);
        if (IsServicePipeName(name))
            names.push_back(name);
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return names;
}

void ValidateStartType(uint32_t startType) {
    if (startType != SERVICE_AUTO_START && startType != SERVICE_DEMAND_START &&
        startType != SERVICE_DISABLED)
        Invalid(svctext::ErrInvalidStartType);
}

const char* StartTypeWord(uint32_t startType) {
    switch (startType) {
    case SERVICE_AUTO_START:
        return "auto";
    case SERVICE_DISABLED:
        return "disabled";
    default:
        return "demand";
    }
}

uint32_t StartTypeFromWord(const std::string& word) {
    for (uint32_t type : {SERVICE_AUTO_START, SERVICE_DEMAND_START, SERVICE_DISABLED})
        if (word == StartTypeWord(type))
            return type;
    return 0;
}

std::string ServiceNameKey(const std::string& name) {
    std::string key = name;
    for (char& c : key)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return key;
}

TServiceRegistry::TServiceRegistry(std::string directory) : directory_(std::move(directory)) {}

void TServiceRegistry::Prepare() const {
    if (mkdir(directory_.c_str(), 0700) != 0 && errno != EEXIST)
        throw OSErrorFromErrno(errno);
    // The files hold passwords: the directory stays closed to other users.
    if (chmod(directory_.c_str(), 0700) != 0)
        throw OSErrorFromErrno(errno);
}

std::string TServiceRegistry::FilePath(const std::string& name) const {
    // Valid names hold no "/", so the key is a safe file name.
    return directory_ + "/" + ServiceNameKey(name) + FileSuffix;
}

std::string TServiceRegistry::Serialize(const TRegisteredService& s) {
    std::string pipes;
    for (const std::string& pipe : s.Pipes)
        pipes += (pipes.empty() ? "" : ",") + pipe;
    return "Name=" + s.Name + "\nDisplayName=" + s.DisplayName + "\nBinaryPath=" + s.BinaryPath +
           "\nStartName=" + s.StartName + "\nPassword=" + s.Password +
           "\nStartType=" + StartTypeWord(s.StartType) + "\n" +
           (pipes.empty() ? "" : "Pipes=" + pipes + "\n");
}

TRegisteredService TServiceRegistry::Parse(const std::string& text) {
    TRegisteredService s;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        size_t equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        std::string key = line.substr(0, equals);
        std::string value = line.substr(equals + 1);
        if (key == "Name")
            s.Name = value;
        else if (key == "DisplayName")
            s.DisplayName = value;
        else if (key == "BinaryPath")
            s.BinaryPath = value;
        else if (key == "StartName")
            s.StartName = value;
        else if (key == "Password")
            s.Password = value;
        else if (key == "StartType")
            s.StartType = StartTypeFromWord(value);
        else if (key == "Pipes")
            s.Pipes = SplitPipeNames(value);
    }
    ValidateServiceName(s.Name);
    ValidateDisplayName(s.DisplayName);
    ValidateBinaryPath(s.BinaryPath);
    ValidateStartName(s.StartName);
    ValidatePassword(s.Password);
    ValidateStartType(s.StartType);
    return s;
}

std::vector<TRegisteredService>
TServiceRegistry::LoadAll(std::vector<std::string>& problems) const {
    std::vector<TRegisteredService> services;
    struct TCloseDir {
        void operator()(DIR* d) const { closedir(d); }
    };
    std::unique_ptr<DIR, TCloseDir> dir(opendir(directory_.c_str()));
    if (!dir) {
        if (errno != ENOENT)
            problems.push_back(directory_ + ": " + SysErrorMessage(errno));
        return services;
    }
    while (dirent* entry = readdir(dir.get())) {
        std::string fileName = entry->d_name;
        if (fileName[0] == '.' || !EndsWith(fileName, FileSuffix))
            continue;
        std::string path = directory_ + "/" + fileName;
        std::ifstream file(path, std::ios::binary);
        if (!file.is_open()) {
            problems.push_back(path + ": " + SysErrorMessage(errno ? errno : EIO));
            continue;
        }
        std::ostringstream content;
        content << file.rdbuf();
        try {
            TRegisteredService service = Parse(content.str());
            if (FilePath(service.Name) != path)
                Invalid(svctext::ErrInvalidName); // a file renamed by hand
            services.push_back(std::move(service));
        } catch (const EOSError& e) {
            problems.push_back(path + ": " + e.what());
        }
    }
    return services;
}

void TServiceRegistry::Save(const TRegisteredService& service) const {
    ReplaceFileContents(FilePath(service.Name), Serialize(service), 0600);
}

void TServiceRegistry::Remove(const std::string& name) const {
    if (unlink(FilePath(name).c_str()) != 0 && errno != ENOENT)
        throw OSErrorFromErrno(errno);
}
