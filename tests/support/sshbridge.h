// An OpenSSH server on 127.0.0.1 that lets root and a test login account with a shell in by a
// client key made for the test, and a client configuration naming it by host aliases, so that
// the client layer reaches `svcmgr bridge` of this build "on another PC" with ssh.
//
// While the object lives, SVCMGR_SSH_CONFIG points to that configuration and
// SVCMGR_REMOTE_PROGRAM to this build's svcmgr; sessions get the SVCMGR_ROOT given to the
// constructor. The destructor ends the client layer's connections, then the server.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "tests/support/servers.h"

class SshBridgeHost : public PeerServer {
public:
    // Aliases: as root, as the login account, with a known host key that does not match, and
    // with a client key the server does not know.
    static constexpr const char* RootAlias = "kvpc";
    static constexpr const char* UserAlias = "kvpc-user";
    static constexpr const char* WrongHostKeyAlias = "kvpc-badhost";
    static constexpr const char* RefusedKeyAlias = "kvpc-badkey";

    static std::string UnavailableReason();
    explicit SshBridgeHost(const std::string& svcmgrRoot);
    ~SshBridgeHost();

    // The non-root account that the user alias logs in as.
    static const std::string& LoginUser();
    std::string ConfigPath() const { return Dir().File("ssh_config"); }
    // Lines of the server's log that contain `text`.
    int CountLogLines(const std::string& text) const;

private:
    std::string ServerConfig(int port) const;
    std::string ClientConfig() const;

    std::string svcmgrRoot_;
    std::optional<std::string> savedConfig_, savedProgram_;
};
