// SendMail: builds one MIME message and hands it to the system's mail program on its
// standard input (`sendmail -t -i`: recipients come from the headers, a line with a single dot
// is text). Nothing of the message travels on the command line.
#include "console/framework/scwserv.h"

#include "common/langtext.h"
#include "common/strutil.h"
#include "platform/errors.h"
#include "platform/runcmd.h"
#include "platform/uniquefd.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string_view>
#include <vector>

namespace {

constexpr const char* MailProgram = "sendmail";
// How long the mail program may take to accept the message before it is stopped.
constexpr int MailTimeoutSeconds = 120;
// Of the mail program's error output, this much is kept for the message.
constexpr size_t MaxDiagnostics = 8192;
// Longest line that mail transports carry; a body with a longer one is sent quoted-printable.
constexpr size_t MaxLineLength = 998;

bool IsAscii(std::string_view text) {
    for (unsigned char c : text)
        if (c >= 0x80)
            return false;
    return true;
}

void RefuseLineBreaks(const char* header, const std::string& value) {
    if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
        throw Exception(Format(langtext::MailHeaderLineBreak, header));
}

std::string Base64(std::string_view data, size_t lineLength) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t column = 0;
    for (size_t i = 0; i < data.size(); i += 3) {
        const size_t n = std::min<size_t>(3, data.size() - i);
        unsigned v = static_cast<unsigned char>(data[i]) << 16;
        if (n > 1)
            v |= static_cast<unsigned char>(data[i + 1]) << 8;
        if (n > 2)
            v |= static_cast<unsigned char>(data[i + 2]);
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += n > 1 ? alphabet[(v >> 6) & 63] : '=';
        out += n > 2 ? alphabet[v & 63] : '=';
        column += 4;
        if (lineLength && column >= lineLength && i + 3 < data.size()) {
            out += '\n';
            column = 0;
        }
    }
    return out;
}

// Text as RFC 2047 encoded words, each within 75 characters and holding whole UTF-8
// characters, folded onto continuation lines.
std::string EncodedWords(std::string_view text) {
    constexpr size_t MaxBytesPerWord = 45; // 60 base64 characters
    std::string out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = std::min(text.size(), start + MaxBytesPerWord);
        while (end < text.size() && end > start + 1 &&
               (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
            --end;
        if (!out.empty())
            out += "\n ";
        out += "=?UTF-8?B?" + Base64(text.substr(start, end - start), 0) + "?=";
        start = end;
    }
    return out;
}

// A free-text header value: plain ASCII folded at blanks, anything else as encoded words.
// ASCII that looks like an encoded word is encoded too, so that readers show it unchanged.
std::string HeaderText(std::string_view name, const std::string& value) {
    if (!IsAscii(value) || value.find("=?") != std::string::npos)
        return std::string(name) + ": " + EncodedWords(value) + "\n";
    std::string line = std::string(name) + ": " + value;
    std::string out;
    while (line.size() > 78) {
        const size_t fold = line.rfind(' ', 78);
        if (fold == std::string::npos || fold <= name.size() + 1)
            break;
        out += line.substr(0, fold) + "\n";
        line = line.substr(fold); // the blank starts the continuation line
    }
    return out + line + "\n";
}

// An address list: display names that are not ASCII become encoded words; the addresses
// themselves pass unchanged.
std::string AddressHeader(std::string_view name, const std::string& value) {
    if (IsAscii(value))
        return std::string(name) + ": " + value + "\n";
    std::vector<std::string> addresses;
    std::string current;
    bool quoted = false, angled = false;
    for (char c : value) {
        if (c == '"')
            quoted = !quoted;
        else if (!quoted && c == '<')
            angled = true;
        else if (!quoted && c == '>')
            angled = false;
        if (c == ',' && !quoted && !angled) {
            addresses.push_back(Trim(current));
            current.clear();
        } else {
            current += c;
        }
    }
    addresses.push_back(Trim(current));

    std::string out = std::string(name) + ":";
    for (size_t i = 0; i < addresses.size(); ++i) {
        std::string address = addresses[i];
        const size_t open = address.rfind('<');
        if (open != std::string::npos && !IsAscii(address.substr(0, open))) {
            std::string display = Trim(address.substr(0, open));
            if (display.size() >= 2 && display.front() == '"' && display.back() == '"')
                display = display.substr(1, display.size() - 2);
            address = EncodedWords(display) + "\n " + address.substr(open);
        }
        out += (i ? ",\n " : " ") + address;
    }
    return out + "\n";
}

std::string DateHeader() {
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    const long offset = local.tm_gmtoff / 60;
    const long magnitude = offset < 0 ? -offset : offset;
    return Format("Date: %s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld\n", days[local.tm_wday],
                  local.tm_mday, months[local.tm_mon], local.tm_year + 1900, local.tm_hour,
                  local.tm_min, local.tm_sec, offset < 0 ? '-' : '+', magnitude / 60,
                  magnitude % 60);
}

// Line ends as LF; the mail program writes them as the transport needs.
std::string NormaliseLineEnds(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 1);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            out += '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
        } else {
            out += text[i];
        }
    }
    if (out.empty() || out.back() != '\n')
        out += '\n';
    return out;
}

bool HasLongLine(const std::string& text) {
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        if (end - start > MaxLineLength)
            return true;
    return text.size() - start > MaxLineLength;
}

std::string QuotedPrintable(const std::string& text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    size_t column = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = text[i];
        if (c == '\n') {
            out += '\n';
            column = 0;
            continue;
        }
        const bool lineEnd = i + 1 == text.size() || text[i + 1] == '\n';
        std::string piece;
        if ((c >= 33 && c <= 126 && c != '=') || ((c == ' ' || c == '\t') && !lineEnd))
            piece = static_cast<char>(c);
        else
            piece = {'=', hex[c >> 4], hex[c & 15]};
        if (column + piece.size() > 75) {
            out += "=\n";
            column = 0;
        }
        out += piece;
        column += piece.size();
    }
    return out;
}

// The headers and content of the text part.
std::string TextPart(const std::string& body) {
    const std::string text = NormaliseLineEnds(body);
    std::string encoding = IsAscii(text) ? "7bit" : "8bit";
    std::string content = text;
    if (HasLongLine(text)) {
        encoding = "quoted-printable";
        content = QuotedPrintable(text);
    }
    return "Content-Type: text/plain; charset=UTF-8\nContent-Transfer-Encoding: " + encoding +
           "\n\n" + content;
}

// A parameter of the attachment's headers naming the file: a quoted string for ASCII names,
// and for other names the RFC 2231 form (with an encoded word in `name` for older readers).
std::string FileNameParameter(const char* parameter, const std::string& fileName) {
    if (!IsAscii(fileName)) {
        if (std::string_view(parameter) == "name")
            return "name=\"" + EncodedWords(fileName) + "\"";
        std::string encoded;
        for (unsigned char c : fileName) {
            const bool alnum =
                (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
            if (alnum || std::string_view("!#$&+-.^_`|~").find(c) != std::string::npos)
                encoded += static_cast<char>(c);
            else
                encoded += Format("%%%02X", c);
        }
        return std::string(parameter) + "*=UTF-8''" + encoded;
    }
    std::string quoted;
    for (char c : fileName) {
        if (c == '"' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    return std::string(parameter) + "=\"" + quoted + "\"";
}

std::string ReadAttachment(const std::string& path) {
    auto fail = [&path](int code) {
        return Exception(Format(langtext::MailAttachmentUnreadable, path.c_str(),
                                SysErrorMessage(code).c_str()));
    };
    // Non-blocking, so that a FIFO given by mistake is refused instead of waited on.
    TUniqueFd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (!fd || fstat(fd.Get(), &st) != 0)
        throw fail(errno);
    if (!S_ISREG(st.st_mode))
        throw fail(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    std::string data;
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(fd.Get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw fail(errno);
        if (n == 0)
            return data;
        data.append(buffer, static_cast<size_t>(n));
    }
}

std::string NewBoundary(const std::string& content) {
    std::random_device random;
    for (;;) {
        std::string boundary = "=_part_";
        for (int i = 0; i < 4; ++i)
            boundary += Format("%08x", static_cast<unsigned>(random()));
        if (content.find(boundary) == std::string::npos)
            return boundary;
    }
}

std::string BuildMessage(const std::string& To, const std::string& From, const std::string& Subject,
                         const std::string& Body, const std::string& Attachment) {
    std::string message = AddressHeader("To", To);
    if (!From.empty())
        message += AddressHeader("From", From);
    message += HeaderText("Subject", Subject);
    message += DateHeader();
    message += "MIME-Version: 1.0\n";
    if (Attachment.empty())
        return message + TextPart(Body);

    const std::string data = ReadAttachment(Attachment);
    const size_t slash = Attachment.find_last_of('/');
    const std::string fileName =
        slash == std::string::npos ? Attachment : Attachment.substr(slash + 1);
    const std::string text = TextPart(Body);
    const std::string boundary = NewBoundary(text);
    message += "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"\n\n";
    message += "--" + boundary + "\n" + text + "\n--" + boundary + "\n";
    message += "Content-Type: application/octet-stream; " + FileNameParameter("name", fileName) +
               "\nContent-Transfer-Encoding: base64\nContent-Disposition: attachment; " +
               FileNameParameter("filename", fileName) + "\n\n";
    message += Base64(data, 76) + "\n--" + boundary + "--\n";
    return message;
}

void RunMailProgram(const std::string& message) {
    const std::string program = FindOnPath(MailProgram);
    auto notRun = [](int code) {
        return Exception(
            Format(langtext::MailProgramNotRun, MailProgram, SysErrorMessage(code).c_str()));
    };
    if (program.empty())
        throw notRun(ENOENT);

    CommandOptions options;
    options.Input = message;
    options.MaxOutput = 0; // what it prints for people is of no use here
    options.CollectErrors = true;
    options.MaxErrors = MaxDiagnostics;
    const CommandResult r = RunCommand(program, {MailProgram, "-t", "-i"},
                                       std::chrono::seconds(MailTimeoutSeconds), options);
    switch (r.Status) {
    case CommandResult::Outcome::NotRun:
        throw notRun(r.Error);
    case CommandResult::Outcome::TimedOut:
    case CommandResult::Outcome::Canceled: // no cancel check is given
        throw Exception(Format(langtext::MailProgramTimedOut, MailProgram, MailTimeoutSeconds));
    case CommandResult::Outcome::Signalled:
        throw Exception(Format(langtext::MailProgramKilled, MailProgram, r.Signal));
    case CommandResult::Outcome::Exited:
        break;
    }
    const std::string text = Trim(r.Errors);
    if (r.ExitCode != 0 && !text.empty())
        throw Exception(Format(langtext::MailProgramFailed, MailProgram, r.ExitCode, text.c_str()));
    if (r.ExitCode != 0)
        throw Exception(Format(langtext::MailProgramFailedSilently, MailProgram, r.ExitCode));
    if (r.InputError)
        throw Exception(Format(langtext::MailProgramStoppedReading, MailProgram));
}

} // namespace

void SendMail(const std::string& To, const std::string& From, const std::string& Subject,
              const std::string& Body, const std::string& Attachment) {
    RefuseLineBreaks("To", To);
    RefuseLineBreaks("From", From);
    RefuseLineBreaks("Subject", Subject);
    RunMailProgram(BuildMessage(To, From, Subject, Body, Attachment));
}
