// docs/configuration.md against the sources: every key that the service or the console reads
// from an INI file is listed there under its section, and the page lists no key that nothing
// reads; the starting configuration of an install holds every key of the service's file. The reads
// are found in the sources (ReadString, ReadInteger, ReadBool, ValueExists), their section and key
// names resolved through the string constants they name.
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using KeySet = std::set<std::string>; // "Section/Key"

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<fs::path> SourceFiles() {
    std::vector<fs::path> files;
    for (const char* dir : {"common", "service", "console"})
        for (const auto& entry : fs::recursive_directory_iterator(fs::path(KV_SOURCE_DIR) / dir)) {
            const fs::path& path = entry.path();
            // The INI reader itself reads whatever it is asked for.
            if (path.stem() == "inifile" && path.parent_path().filename() == "common")
                continue;
            if (path.extension() == ".cpp" || path.extension() == ".h")
                files.push_back(path);
        }
    return files;
}

// The texts of the string constants of the sources, by name (several when namespaces differ).
std::map<std::string, std::set<std::string>> Constants(const std::vector<fs::path>& files) {
    static const std::regex constant(R"re(constexpr const char\* (\w+) =\s*"([^"]*)";)re");
    std::map<std::string, std::set<std::string>> constants;
    for (const fs::path& file : files) {
        const std::string text = ReadAll(file);
        for (std::sregex_iterator it(text.begin(), text.end(), constant), end; it != end; ++it)
            constants[(*it)[1]].insert((*it)[2]);
    }
    return constants;
}

struct TReads {
    KeySet Keys;
    std::vector<std::string> Unresolved;
};

// Each read's section and key: a literal, DirectorySection(...), or a constant whose name
// (namespace left aside) has one text.
TReads KeysReadBySources() {
    static const std::regex call(
        R"re(\b(?:ReadString|ReadInteger|ReadBool|ValueExists)\(\s*([^,]+?)\s*,\s*([^,]+?)\s*,)re");
    static const std::regex literal(R"re(^"([^"]*)"$)re");
    static const std::regex name(R"(^(?:\w+::)*(\w+)$)");
    const std::vector<fs::path> files = SourceFiles();
    const auto constants = Constants(files);
    auto resolve = [&](const std::string& arg, std::string& out) {
        std::smatch m;
        if (arg.rfind("DirectorySection(", 0) == 0)
            out = "Directory<n>";
        else if (std::regex_match(arg, m, literal))
            out = m[1];
        else if (std::regex_match(arg, m, name) && constants.count(m[1]) &&
                 constants.at(m[1]).size() == 1)
            out = *constants.at(m[1]).begin();
        else
            return false;
        return true;
    };
    TReads reads;
    for (const fs::path& file : files) {
        const std::string text = ReadAll(file);
        for (std::sregex_iterator it(text.begin(), text.end(), call), end; it != end; ++it) {
            std::string section, key;
            if (resolve((*it)[1], section) && resolve((*it)[2], key))
                reads.Keys.insert(section + "/" + key);
            else
                reads.Unresolved.push_back(file.string() + ": " + it->str());
        }
    }
    return reads;
}

// The page's keys: a heading names the section as "`[Section]`", the table rows under it
// start with "| `Key` |".
KeySet KeysListedOnThePage() {
    static const std::regex heading(R"(^#+ .*`\[([^\]]+)\]`)");
    static const std::regex row(R"(^\| `(\w+)` \|)");
    std::istringstream page(ReadAll(fs::path(KV_SOURCE_DIR) / "docs/configuration.md"));
    KeySet keys;
    std::string section, line;
    std::smatch m;
    while (std::getline(page, line)) {
        if (std::regex_search(line, m, heading))
            section = m[1];
        else if (std::regex_search(line, m, row) && !section.empty())
            keys.insert(section + "/" + m[1].str());
    }
    return keys;
}

// The keys of the starting file that the install writes, present or commented out.
KeySet KeysOfTheStartingFile() {
    static const std::regex heading(R"(^;?\[(\w+?)(\d*)\]$)");
    static const std::regex line(R"(^;?(\w+)=)");
    std::istringstream file(ReadAll(fs::path(KV_SOURCE_DIR) / "packaging/kelvardsvc.ini"));
    KeySet keys;
    std::string section, text;
    std::smatch m;
    while (std::getline(file, text)) {
        if (std::regex_search(text, m, heading))
            section = m[1].str() + (m[2].length() > 0 ? "<n>" : "");
        else if (std::regex_search(text, m, line))
            keys.insert(section + "/" + m[1].str());
    }
    return keys;
}

std::string Listed(const KeySet& keys) {
    std::string text;
    for (const std::string& key : keys)
        text += "\n  " + key;
    return text;
}

TEST(ConfigurationPage, ListsEveryKeyTheProgramsReadAndNoOtherAsTheStartingFileDoes) {
    const TReads reads = KeysReadBySources();
    EXPECT_TRUE(reads.Unresolved.empty()) << "reads whose section or key is no string constant: "
                                          << ::testing::PrintToString(reads.Unresolved);
    // The scan itself works: keys of both programs and both sources of names are found.
    ASSERT_TRUE(reads.Keys.count("General/LogDetailed"));
    ASSERT_TRUE(reads.Keys.count("Directory<n>/TrackDirectory"));
    ASSERT_TRUE(reads.Keys.count("General/RemotePC"));

    const KeySet listed = KeysListedOnThePage();
    KeySet missing, stale;
    for (const std::string& key : reads.Keys)
        if (!listed.count(key))
            missing.insert(key);
    for (const std::string& key : listed)
        if (!reads.Keys.count(key))
            stale.insert(key);
    EXPECT_TRUE(missing.empty()) << "read but not in docs/configuration.md:" << Listed(missing);
    EXPECT_TRUE(stale.empty()) << "in docs/configuration.md but read nowhere:" << Listed(stale);

    // The starting file of an install shows every key of the service's file.
    const KeySet starting = KeysOfTheStartingFile();
    KeySet absent;
    for (const std::string& key : reads.Keys)
        if (!starting.count(key) && key != "General/RemotePC")
            absent.insert(key);
    EXPECT_TRUE(absent.empty()) << "not in packaging/kelvardsvc.ini:" << Listed(absent);
}

} // namespace
