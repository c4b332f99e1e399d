#include "console/framework/scwserv.h"

#include "platform/errors.h"
#include "platform/uniquefd.h"
#include "tests/console/framework/scopedenv.h"
#include "tests/console/support/consoletest.h"
#include "tests/support/tempdir.h"

#include <QByteArray>
#include <QDir>
#include <QFileDialog>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstring>
#include <mutex>
#include <regex>
#include <thread>

namespace {

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(KnownComputers, TakesSshAndHostsNamesOnceInOrder) {
    TempDir home;
    mkdir(home.File(".ssh").c_str(), 0700);
    mkdir(home.File(".ssh/conf.d").c_str(), 0700);
    WriteTextFile(home.File(".ssh/config"), "# mine\n"
                                            "Host build-server web *.example.com !bad\n"
                                            "Host=Alpha\n"
                                            "  HostName alpha.internal\n"
                                            "Include conf.d/*\n");
    // Includes itself back: the reading must still end.
    WriteTextFile(home.File(".ssh/conf.d/extra"), "HOST included-one\nInclude ~/.ssh/config\n");
    WriteTextFile(home.File(".ssh/known_hosts"), "web,192.168.1.20 ssh-ed25519 AAAA\n"
                                                 "|1|c2FsdA==|aGFzaA== ssh-rsa AAAA\n"
                                                 "[gitbox]:2222 ssh-ed25519 AAAA\n"
                                                 "[10.1.2.3]:22,other ssh-rsa AAAA\n"
                                                 "@cert-authority *.corp ssh-rsa AAAA\n"
                                                 "@revoked revoked-host ssh-rsa AAAA\n"
                                                 "-oProxyCommand=x ssh-rsa AAAA\n");
    WriteTextFile(home.File("hosts"), "127.0.0.1 localhost\n"
                                      "127.0.1.1 thisbox\n"
                                      "::1 localhost ip6-localhost ip6-loopback\n"
                                      "ff02::1 ip6-allnodes\n"
                                      "fe00::0 ip6-localnet\n"
                                      "0.0.0.0 ads.example\n"
                                      "10.0.0.5\tFileServer fs # the file server\n"
                                      "# 10.0.0.6 hidden\n"
                                      "10.0.0.7 WEB\n");
    ScopedEnv env("HOME", home.Path());
    const std::vector<std::string> expected{"10.1.2.3",   "192.168.1.20", "Alpha",  "build-server",
                                            "FileServer", "fs",           "gitbox", "included-one",
                                            "other",      "web"};
    EXPECT_EQ(KnownComputerNames(home.File("hosts")), expected);

    // The configuration of the connections to other PCs replaces the user's own.
    WriteTextFile(home.File("pcs.conf"), "Host shop12 shop13\n  HostName 10.9.0.12\n");
    {
        ScopedEnv config("SVCMGR_SSH_CONFIG", home.File("pcs.conf"));
        EXPECT_EQ(KnownComputerNames(home.File("nowhere/hosts")),
                  (std::vector<std::string>{"10.1.2.3", "192.168.1.20", "gitbox", "other", "shop12",
                                            "shop13", "web"}));
    }

    // No SSH files and no hosts file: nothing, and no failure.
    ScopedEnv empty("HOME", home.File("nowhere"));
    EXPECT_TRUE(KnownComputerNames(home.File("nowhere/hosts")).empty());
}

TEST(BrowseForFolder, OpensOnTheCurrentFolderAndCancelKeepsIt) {
    TempDir root;
    QDir(QString::fromStdString(root.Path())).mkpath("first");
    QDir(QString::fromStdString(root.Path())).mkpath("second");
    const std::string first = root.File("first"), second = root.File("second");

    std::string dir = first;
    QString openedOn;
    WhenModalOpens([&](QDialog* d) {
        auto* dialog = qobject_cast<QFileDialog*>(d);
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(dialog->windowTitle(), "Selection du dossier cible");
        EXPECT_EQ(dialog->fileMode(), QFileDialog::Directory);
        openedOn = dialog->directory().absolutePath();
        dialog->reject();
    });
    EXPECT_FALSE(BrowseForFolder(nullptr, "Selection du dossier cible", dir));
    EXPECT_EQ(openedOn.toStdString(), first);
    EXPECT_EQ(dir, first);

    WhenModalOpens([&](QDialog* d) {
        auto* dialog = static_cast<QFileDialog*>(d);
        dialog->setDirectory(QString::fromStdString(second));
        d->accept();
    });
    EXPECT_TRUE(BrowseForFolder(nullptr, "t", dir));
    EXPECT_EQ(dir, second);

    // A text that names no folder is not preselected, and stays as it was on Cancel.
    dir = root.File("missing/deeper");
    WhenModalOpens([&](QDialog* d) {
        openedOn = static_cast<QFileDialog*>(d)->directory().absolutePath();
        d->reject();
    });
    EXPECT_FALSE(BrowseForFolder(nullptr, "t", dir));
    EXPECT_NE(openedOn.toStdString(), root.File("missing/deeper"));
    EXPECT_EQ(dir, root.File("missing/deeper"));
}

// A small SMTP server on 127.0.0.1 that takes every message, or refuses every recipient, and
// keeps what it received (dots unstuffed, lines ending in LF). It serves one connection at a
// time on a thread of its own until the object goes.
class SmtpSink {
public:
    struct Mail {
        std::string EnvelopeFrom;
        std::vector<std::string> Recipients;
        std::string Data;
    };
    explicit SmtpSink(bool refuseRecipients = false) : refuse_(refuseRecipients) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        auto* raw = reinterpret_cast<sockaddr*>(&address);
        if (!listener_ || bind(listener_.Get(), raw, length) != 0 ||
            listen(listener_.Get(), 4) != 0 || getsockname(listener_.Get(), raw, &length) != 0)
            throw std::runtime_error("SMTP sink cannot listen on 127.0.0.1");
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] {
            for (int c; (c = accept(listener_.Get(), nullptr, nullptr)) >= 0;)
                Session(TUniqueFd(c).Get());
        });
    }
    ~SmtpSink() {
        shutdown(listener_.Get(), SHUT_RDWR); // ends the waiting accept
        thread_.join();
    }
    int Port() const { return port_; }
    std::vector<Mail> Mails() const {
        std::lock_guard lock(mutex_);
        return mails_;
    }

private:
    void Session(int c) {
        auto reply = [c](const char* text) { send(c, text, strlen(text), MSG_NOSIGNAL); };
        reply("220 sink ESMTP\r\n");
        std::string buffer, line;
        Mail mail;
        bool inData = false;
        char chunk[4096];
        for (ssize_t n; (n = recv(c, chunk, sizeof chunk, 0)) > 0;) {
            buffer.append(chunk, static_cast<size_t>(n));
            for (size_t end; (end = buffer.find("\r\n")) != std::string::npos;) {
                line = buffer.substr(0, end);
                buffer.erase(0, end + 2);
                const std::string verb =
                    QString::fromStdString(line.substr(0, 4)).toUpper().toStdString();
                if (inData && line == ".") {
                    std::lock_guard lock(mutex_);
                    mails_.push_back(std::exchange(mail, Mail{}));
                    inData = false;
                    reply("250 2.0.0 queued\r\n");
                } else if (inData) {
                    mail.Data += line.substr(line.rfind("..", 0) == 0 ? 1 : 0) + "\n";
                } else if (verb == "EHLO" || verb == "HELO") {
                    reply("250-sink\r\n250 8BITMIME\r\n");
                } else if (verb == "MAIL") {
                    mail.EnvelopeFrom = line.substr(10);
                    reply("250 2.1.0 ok\r\n");
                } else if (verb == "RCPT" && refuse_) {
                    reply("550 5.1.1 mailbox unavailable\r\n");
                } else if (verb == "RCPT") {
                    mail.Recipients.push_back(line.substr(8));
                    reply("250 2.1.5 ok\r\n");
                } else if (verb == "DATA") {
                    inData = true;
                    reply("354 go ahead\r\n");
                } else if (verb == "QUIT") {
                    reply("221 bye\r\n");
                    return;
                } else {
                    reply("250 ok\r\n");
                }
            }
        }
    }

    bool refuse_;
    int port_ = 0;
    TUniqueFd listener_{socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    mutable std::mutex mutex_;
    std::vector<Mail> mails_;
    std::thread thread_;
};

// A PATH whose `sendmail` is msmtp talking to the sink, configured with a default sender.
class MailFixture : public testing::Test {
protected:
    void UseMailProgram(const std::string& script) {
        mkdir(dir_.File("bin").c_str(), 0755);
        WriteTextFile(dir_.File("bin/sendmail"), script);
        chmod(dir_.File("bin/sendmail").c_str(), 0755);
        path_.emplace("PATH", dir_.File("bin") + ":/usr/bin:/bin");
    }
    void UseMsmtp(const SmtpSink& sink) {
        WriteTextFile(dir_.File("msmtp.conf"),
                      "account default\nhost 127.0.0.1\nport " + std::to_string(sink.Port()) +
                          "\nauth off\ntls off\nfrom robot@example.test\nset_date_header off\n");
        chmod(dir_.File("msmtp.conf").c_str(), 0600);
        UseMailProgram("#!/bin/sh\nexec msmtp -C '" + dir_.File("msmtp.conf") + "' \"$@\"\n");
    }
    static std::string Header(const std::string& message, const std::string& name) {
        std::smatch m;
        const std::string head = message.substr(0, message.find("\n\n"));
        // The header with its continuation lines unfolded.
        std::regex re("(^|\n)" + name + ": ((.|\n )*)");
        if (!std::regex_search(head, m, re))
            return "<absent>";
        return std::regex_replace(m[2].str(), std::regex("\n "), " ");
    }
    // Encoded words decoded, as a mail reader shows them.
    static std::string Decoded(std::string text) {
        text = std::regex_replace(text, std::regex("\\?= =\\?"), "?==?");
        std::regex word("=\\?UTF-8\\?B\\?([A-Za-z0-9+/=]*)\\?=");
        std::string out;
        std::smatch m;
        while (std::regex_search(text, m, word)) {
            out += m.prefix().str() + QByteArray::fromBase64(m[1].str().c_str()).toStdString();
            text = m.suffix().str();
        }
        return out + text;
    }
    TempDir dir_;
    std::optional<ScopedEnv> path_;
};

TEST_F(MailFixture, SendsTextAndAttachmentThroughTheMailProgram) {
    SmtpSink sink;
    UseMsmtp(sink);
    const std::string subject = "Rapport du test de connexion — été 2024, sans erreur aucune "
                                "après plusieurs essais";
    SendMail("Zoé Support <support@example.test>", "console@example.test", subject,
             "Ligne 1\r\nLigne é\r\n.\r\nfin", "");
    ASSERT_EQ(sink.Mails().size(), 1u);
    SmtpSink::Mail mail = sink.Mails()[0];
    EXPECT_EQ(mail.Recipients, std::vector<std::string>{"<support@example.test>"});
    EXPECT_EQ(Header(mail.Data, "From"), "console@example.test");
    EXPECT_EQ(Decoded(Header(mail.Data, "To")), "Zoé Support <support@example.test>");
    EXPECT_EQ(Header(mail.Data, "Subject").rfind("=?UTF-8?B?", 0), 0u);
    EXPECT_EQ(Decoded(Header(mail.Data, "Subject")), subject);
    EXPECT_TRUE(std::regex_match(Header(mail.Data, "Date"),
                                 std::regex("[A-Z][a-z]{2}, \\d\\d [A-Z][a-z]{2} \\d{4} "
                                            "\\d\\d:\\d\\d:\\d\\d [+-]\\d{4}")))
        << Header(mail.Data, "Date");
    EXPECT_EQ(Header(mail.Data, "Content-Type"), "text/plain; charset=UTF-8");
    // The lone dot is text (-i), and every line ends the same way.
    EXPECT_EQ(mail.Data.substr(mail.Data.find("\n\n") + 2), "Ligne 1\nLigne é\n.\nfin\n");

    // Without a sender the mail system's own is used; the file travels in base64.
    std::string binary;
    for (int i = 0; i < 3000; ++i)
        binary += static_cast<char>(i * 7 % 256);
    WriteTextFile(dir_.File("rapport final.dat"), binary);
    SendMail("support@example.test", "", "Report", "See the file.\n",
             dir_.File("rapport final.dat"));
    ASSERT_EQ(sink.Mails().size(), 2u);
    mail = sink.Mails()[1];
    EXPECT_EQ(mail.EnvelopeFrom, "<robot@example.test>");
    EXPECT_TRUE(Contains(Header(mail.Data, "From"), "robot@example.test"));
    std::smatch m;
    const std::string type = Header(mail.Data, "Content-Type");
    ASSERT_TRUE(std::regex_match(type, m, std::regex("multipart/mixed; boundary=\"(.+)\"")));
    const std::string boundary = "--" + m[1].str();
    std::vector<std::string> parts;
    for (size_t at = mail.Data.find(boundary); at != std::string::npos;) {
        const size_t next = mail.Data.find(boundary, at + boundary.size());
        if (next == std::string::npos)
            break;
        parts.push_back(
            mail.Data.substr(at + boundary.size() + 1, next - at - boundary.size() - 2));
        at = next;
    }
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(Header(parts[0], "Content-Type"), "text/plain; charset=UTF-8");
    EXPECT_EQ(parts[0].substr(parts[0].find("\n\n") + 2), "See the file.\n");
    EXPECT_TRUE(
        Contains(Header(parts[1], "Content-Disposition"), "filename=\"rapport final.dat\""));
    EXPECT_EQ(Header(parts[1], "Content-Transfer-Encoding"), "base64");
    const std::string encoded = parts[1].substr(parts[1].find("\n\n") + 2);
    EXPECT_EQ(QByteArray::fromBase64(encoded.c_str()).toStdString(), binary);
    EXPECT_EQ(mail.Data.substr(mail.Data.size() - boundary.size() - 3), boundary + "--\n");
}

TEST_F(MailFixture, RefusesUnsafeHeadersAndReportsTheMailProgramsFailures) {
    SmtpSink sink;
    UseMsmtp(sink);
    auto messageOf = [](auto&& send) -> std::string {
        try {
            send();
        } catch (const Exception& e) {
            return e.what();
        }
        return "<no exception>";
    };
    EXPECT_EQ(messageOf([] { SendMail("a@example.test\nBcc: x@example.test", "", "s", "b", ""); }),
              "The mail header \"To\" must be a single line: it contains a line break.");
    EXPECT_TRUE(
        Contains(messageOf([] { SendMail("a@example.test", "f@x\r", "s", "b", ""); }), "\"From\""));
    EXPECT_TRUE(Contains(messageOf([] { SendMail("a@example.test", "", "s\rBcc: x", "b", ""); }),
                         "\"Subject\""));
    EXPECT_EQ(messageOf([this] { SendMail("a@example.test", "", "s", "b", dir_.File("none")); }),
              "Cannot read the attachment " + dir_.File("none") + ": No such file or directory");
    EXPECT_TRUE(sink.Mails().empty());

    SmtpSink refusing(true);
    UseMsmtp(refusing);
    const std::string refused = messageOf([] { SendMail("a@example.test", "", "s", "b", ""); });
    EXPECT_EQ(refused.rfind("The mail program sendmail failed with status", 0), 0u) << refused;
    EXPECT_TRUE(Contains(refused, "550 5.1.1 mailbox unavailable")) << refused;

    // A program that ends without reading a long message: a failure, never a killed console.
    const std::string longBody(2 << 20, 'x');
    UseMailProgram("#!/bin/sh\necho 'queue full' >&2\nexit 75\n");
    EXPECT_EQ(messageOf([&] { SendMail("a@example.test", "", "s", longBody, ""); }),
              "The mail program sendmail failed with status 75: queue full");
    UseMailProgram("#!/bin/sh\nexit 0\n");
    EXPECT_EQ(messageOf([&] { SendMail("a@example.test", "", "s", longBody, ""); }),
              "The mail program sendmail stopped reading the message before its end.");

    TempDir emptyBin;
    ScopedEnv noMailProgram("PATH", emptyBin.Path());
    EXPECT_EQ(messageOf([] { SendMail("a@example.test", "", "s", "b", ""); }),
              "Cannot run the mail program sendmail: No such file or directory");
}

} // namespace
