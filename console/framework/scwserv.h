// Shell routines of the console: choosing a computer, choosing a folder, sending a mail.
#pragma once

#include <string>
#include <vector>

class QWidget;

// Lets the user pick one of the computers this machine knows (host entries of the user's SSH
// configuration, unhashed names of the SSH known hosts, /etc/hosts), or type another. The
// dialog starts with `Name` in its edit. True and `Name` := the name as picked or typed (without
// surrounding blanks) on OK; false and `Name` unchanged otherwise.
bool BrowseForComputer(QWidget* Owner, const std::string& Title, std::string& Name);

// Lets the user pick a directory of this computer, starting on `Dir` when it names one. True
// and `Dir` := the chosen path on OK; false and `Dir` unchanged otherwise.
bool BrowseForFolder(QWidget* Owner, const std::string& Title, std::string& Dir);

// Sends one plain-text mail, with the file `Attachment` attached when it is not empty,
// through the system's mail program (`sendmail -t -i` found on PATH). An empty `From` leaves
// the sender to the mail system's configuration. Raises Exception with the mail program's own
// message when there is no mail program, the message is refused or the attachment is missing;
// nothing is retried.
void SendMail(const std::string& To, const std::string& From, const std::string& Subject,
              const std::string& Body, const std::string& Attachment);

// The computers that BrowseForComputer offers: the `Host` names of ~/.ssh/config (and the
// files it includes) without patterns, the unhashed names of ~/.ssh/known_hosts, and the
// names of `HostsFile` except those of loopback, link-local and multicast addresses. Home is
// $HOME. Sorted without regard to case, each name once.
std::vector<std::string> KnownComputerNames(const std::string& HostsFile = "/etc/hosts");
