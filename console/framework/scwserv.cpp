#include "console/framework/scwserv.h"

#include "common/langtext.h"
#include "common/strutil.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include <arpa/inet.h>
#include <glob.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

// Nested Include lines of the SSH configuration are followed this deep, so that a file that
// includes itself ends.
constexpr int MaxIncludeDepth = 16;

bool IsPattern(const std::string& name) {
    return name.find_first_of("*?!") != std::string::npos;
}

// A name that could be offered: not a pattern, and not one that `ssh` would read as an option.
void AddName(std::vector<std::string>& names, const std::string& name) {
    if (!name.empty() && name[0] != '-' && !IsPattern(name))
        names.push_back(name);
}

// The words of an SSH configuration line; double quotes group words with blanks.
std::vector<std::string> SplitConfigWords(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool quoted = false, inWord = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if (!quoted && (c == ' ' || c == '\t')) {
            if (inWord)
                words.push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord)
        words.push_back(word);
    return words;
}

std::vector<std::string> ExpandInclude(const std::string& pattern, const std::string& home) {
    std::string path = pattern;
    if (path.rfind("~/", 0) == 0)
        path = home + path.substr(1);
    else if (path.empty() || path[0] != '/')
        path = home + "/.ssh/" + path;
    std::vector<std::string> files;
    glob_t found{};
    if (glob(path.c_str(), 0, nullptr, &found) == 0)
        files.assign(found.gl_pathv, found.gl_pathv + found.gl_pathc);
    globfree(&found);
    return files;
}

void ReadSshConfig(const std::string& path, const std::string& home, int depth,
                   std::vector<std::string>& names) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const std::string text = Trim(line);
        if (text.empty() || text[0] == '#')
            continue;
        // "Keyword args" or "Keyword=args".
        const size_t end = text.find_first_of(" \t=");
        if (end == std::string::npos)
            continue;
        const std::string keyword = LowerCaseAscii(text.substr(0, end));
        size_t args = text.find_first_not_of(" \t", end);
        if (args != std::string::npos && text[args] == '=')
            args = text.find_first_not_of(" \t", args + 1);
        if (args == std::string::npos)
            continue;
        const std::vector<std::string> words = SplitConfigWords(text.substr(args));
        if (keyword == "host") {
            for (const std::string& word : words)
                AddName(names, word);
        } else if (keyword == "include" && depth < MaxIncludeDepth) {
            for (const std::string& word : words)
                for (const std::string& file : ExpandInclude(word, home))
                    ReadSshConfig(file, home, depth + 1, names);
        }
    }
}

void ReadKnownHosts(const std::string& path, std::vector<std::string>& names) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string hosts;
        // Lines with a marker (@cert-authority, @revoked) do not name a known host.
        if (!(words >> hosts) || hosts[0] == '#' || hosts[0] == '@')
            continue;
        std::istringstream list(hosts);
        std::string host;
        while (std::getline(list, host, ',')) {
            if (host.rfind("|", 0) == 0)
                continue; // hashed
            if (host[0] == '[') {
                const size_t close = host.find(']');
                if (close == std::string::npos)
                    continue;
                host = host.substr(1, close - 1);
            }
            AddName(names, host);
        }
    }
}

// Names of this machine itself (loopback), of no machine (0.0.0.0, which blocking lists use)
// and of link-local or multicast groups are no computer to choose.
bool OffersNames(const std::string& address) {
    in_addr v4{};
    if (inet_pton(AF_INET, address.c_str(), &v4) == 1) {
        const unsigned first = ntohl(v4.s_addr) >> 24;
        return first != 127 && first != 0;
    }
    in6_addr v6{};
    if (inet_pton(AF_INET6, address.c_str(), &v6) == 1)
        return !IN6_IS_ADDR_LOOPBACK(&v6) && !IN6_IS_ADDR_UNSPECIFIED(&v6) &&
               v6.s6_addr[0] != 0xfe && v6.s6_addr[0] != 0xff;
    return false;
}

void ReadHostsFile(const std::string& path, std::vector<std::string>& names) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line.substr(0, line.find('#')));
        std::string address, name;
        if (!(words >> address) || !OffersNames(address))
            continue;
        while (words >> name)
            AddName(names, name);
    }
}

QString Text(const char* utf8) {
    return QString::fromUtf8(utf8);
}

} // namespace

std::vector<std::string> KnownComputerNames(const std::string& HostsFile) {
    std::vector<std::string> names;
    const char* homeEnv = getenv("HOME");
    // The SSH configuration that the connections to another PC use (platform/remotepc.h)
    // replaces the user's own when it is set.
    const char* layerConfig = getenv("SVCMGR_SSH_CONFIG");
    const std::string home = homeEnv ? homeEnv : "";
    if (layerConfig && *layerConfig)
        ReadSshConfig(layerConfig, home, 0, names);
    else if (!home.empty())
        ReadSshConfig(home + "/.ssh/config", home, 0, names);
    if (!home.empty())
        ReadKnownHosts(home + "/.ssh/known_hosts", names);
    ReadHostsFile(HostsFile, names);
    // Host names do not depend on case: one entry per name, the first spelling in sort order.
    std::stable_sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return LowerCaseAscii(a) < LowerCaseAscii(b);
    });
    names.erase(
        std::unique(names.begin(), names.end(),
                    [](const std::string& a, const std::string& b) { return SameText(a, b); }),
        names.end());
    return names;
}

bool BrowseForComputer(QWidget* Owner, const std::string& Title, std::string& Name) {
    QDialog dialog(Owner);
    dialog.setObjectName("ComputerDlg");
    dialog.setWindowTitle(QString::fromStdString(Title));

    auto* listLabel = new QLabel(Text(langtext::BrowsePcKnown), &dialog);
    auto* list = new QListWidget(&dialog);
    list->setObjectName("LbComputers");
    listLabel->setBuddy(list);
    for (const std::string& name : KnownComputerNames())
        list->addItem(QString::fromStdString(name));

    auto* nameLabel = new QLabel(Text(langtext::BrowsePcName), &dialog);
    auto* edit = new QLineEdit(QString::fromStdString(Name), &dialog);
    edit->setObjectName("EdComputer");
    nameLabel->setBuddy(edit);

    auto* buttons = new QDialogButtonBox(&dialog);
    QPushButton* ok = buttons->addButton(Text(langtext::SelPcOK), QDialogButtonBox::AcceptRole);
    ok->setObjectName("BtnOK");
    ok->setDefault(true);
    buttons->addButton(Text(langtext::SelPcCancel), QDialogButtonBox::RejectRole)
        ->setObjectName("BtnCancel");

    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(listLabel);
    layout->addWidget(list, 1);
    layout->addWidget(nameLabel);
    layout->addWidget(edit);
    layout->addWidget(buttons);

    const auto matches = list->findItems(edit->text().trimmed(), Qt::MatchFixedString);
    if (!matches.isEmpty())
        list->setCurrentItem(matches.first());
    ok->setEnabled(!edit->text().trimmed().isEmpty());

    QObject::connect(list, &QListWidget::currentTextChanged, edit, [edit](const QString& text) {
        if (!text.isEmpty())
            edit->setText(text);
    });
    QObject::connect(list, &QListWidget::itemActivated, &dialog, &QDialog::accept);
    QObject::connect(edit, &QLineEdit::textChanged, ok,
                     [ok](const QString& text) { ok->setEnabled(!text.trimmed().isEmpty()); });
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);

    dialog.resize(340, 380);
    if (dialog.exec() != QDialog::Accepted || edit->text().trimmed().isEmpty())
        return false;
    Name = edit->text().trimmed().toStdString();
    return true;
}

bool BrowseForFolder(QWidget* Owner, const std::string& Title, std::string& Dir) {
    QFileDialog dialog(Owner, QString::fromStdString(Title));
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOptions(QFileDialog::ShowDirsOnly | QFileDialog::DontUseNativeDialog);
    const QFileInfo current(QString::fromStdString(Dir));
    if (!Dir.empty() && current.isDir())
        dialog.setDirectory(current.absoluteFilePath());
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return false;
    const QFileInfo chosen(dialog.selectedFiles().first());
    if (!chosen.isDir())
        return false;
    Dir = QDir::cleanPath(chosen.absoluteFilePath()).toStdString();
    return true;
}
