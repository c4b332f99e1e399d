// What the transfer tests share: a recorder of everything a TDestinationTransfer reports to its
// service, and a tracked directory with one shop of every data kind.
#pragma once

#include <curl/curl.h>

#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "service/kvtransfer.h"
#include "tests/support/tempdir.h"

struct LoggedLine {
    int level;
    std::string text;
    bool operator==(const LoggedLine&) const = default;
};

inline void PrintTo(const LoggedLine& line, std::ostream* os) {
    *os << line.level << " \"" << line.text << "\"";
}

struct LastFile {
    std::string path;
    bool ok;
    int parents;
    bool operator==(const LastFile&) const = default;
};

inline void PrintTo(const LastFile& last, std::ostream* os) {
    *os << last.path << (last.ok ? " ok " : " failed ") << last.parents;
}

// Collects log lines, last-file records, dial-up checks and libcurl options.
class TransferProbe {
public:
    TTransferHooks Hooks() {
        TTransferHooks hooks;
        hooks.Log = [this](int level, const std::string& text) { log.push_back({level, text}); };
        hooks.SetLastFile = [this](const std::string& path, bool ok, int parents) {
            lastFiles.push_back({path, ok, parents});
        };
        hooks.CheckDialUp = [this] { ++dialChecks; };
        hooks.OptionSet = [this](CURLoption option, const std::string& value) {
            options.emplace_back(option, value);
            if (onOption)
                onOption(option, value);
        };
        return hooks;
    }
    std::vector<std::string> Errors() const { return TextsAt(3); }
    std::vector<std::string> Infos() const { return TextsAt(0); }
    std::vector<std::string> TextsAt(int level) const {
        std::vector<std::string> texts;
        for (const LoggedLine& line : log)
            if (line.level == level)
                texts.push_back(line.text);
        return texts;
    }
    void Clear() {
        log.clear();
        lastFiles.clear();
        options.clear();
        dialChecks = 0;
    }

    std::vector<LoggedLine> log;
    std::vector<LastFile> lastFiles;
    std::vector<std::pair<CURLoption, std::string>> options;
    int dialChecks = 0;
    std::function<void(CURLoption, const std::string&)> onOption;
};

// A tracked directory "<temp>/export" with shops (SHOP1 by default), each with shopinfo.arg and
// info2.arg, and one or two files in each data-kind directory. Files() are the paths relative
// to the tracked directory, in the order a job hands them over, with where each lands below a
// destination.
class ShopTree {
public:
    explicit ShopTree(const std::vector<std::string>& shops = {"SHOP1"}) {
        root_ = dir_.File("export");
        for (const std::string& shop : shops)
            AddShop(shop);
    }

    void AddShop(const std::string& shop) {
        Add(shop + "/shopinfo.arg", "[Shop]\r\nName=" + shop + "\r\n", shop + "/shopinfo.arg");
        Add(shop + "/info2.arg", "info 2 of " + shop + "\r\n", "export/" + shop + "/info2.arg");
        Add(shop + "/tallix/count.scb", std::string("\x00\x01\xff scb", 7),
            shop + "/tallix/count.scb");
        Add(shop + "/caisse/b.txt", "ticket b\n", shop + "/caisse/b.txt");
        Add(shop + "/caisse/a.txt", std::string(200000, 'a') + shop, shop + "/caisse/a.txt");
        Add(shop + "/filters/f1.fif", "", shop + "/filters/f1.fif");
    }

    void Add(const std::string& relative, const std::string& content,
             const std::string& destination) {
        std::string path = root_ + "/" + relative;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        WriteTextFile(path, content);
        files_.push_back({relative, content, destination});
    }

    struct File {
        std::string relative;
        std::string content;
        std::string destination;
    };
    const std::vector<File>& Files() const { return files_; }
    std::string Path(const File& file) const { return root_ + "/" + file.relative; }
    const std::string& Root() const { return root_; }

private:
    TempDir dir_;
    std::string root_;
    std::vector<File> files_;
};
