// docs/configuration.md against the sources: every key that the service or the console reads
// from an INI file is listed there under its section, and the page lists no key that nothing
// reads; the starting configuration of an install holds every key of the service's file. The reads
// are found in the sources (ReadString, ReadInteger, ReadBool, ValueExists), their section and key
// names resolved through the string constants they name.
#include <cctype>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
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

// "ns::Name" and, when no other namespace has the name, "Name": the text of each string
// constant of the sources.
std::map<std::string, std::string> Constants(const std::vector<fs::path>& files) {
    static const std::regex opening(R"(namespace (\w+) \{)");
    static const std::regex constant(R"re(constexpr const char\* (\w+) =\s*"([^"]*)";)re");
    std::map<std::string, std::string> qualified;
    std::map<std::string, std::set<std::string>> bare;
    for (const fs::path& file : files) {
        const std::string text = ReadAll(file);
        std::vector<std::tuple<size_t, size_t, std::string>> spaces;
        for (std::sregex_iterator it(text.begin(), text.end(), opening), end; it != end; ++it) {
            const std::string name = (*it)[1];
            size_t close = text.find("} // namespace " + name, it->position());
            spaces.emplace_back(it->position(), close, name);
        }
        for (std::sregex_iterator it(text.begin(), text.end(), constant), end; it != end; ++it) {
            std::string space;
            for (const auto& [open, close, name] : spaces)
                if (open < static_cast<size_t>(it->position()) &&
                    static_cast<size_t>(it->position()) < close)
                    space = name;
            qualified[space + "::" + (*it)[1].str()] = (*it)[2];
            bare[(*it)[1]].insert((*it)[2]);
        }
    }
    for (const auto& [name, values] : bare)
        if (values.size() == 1)
            qualified[name] = *values.begin();
    return qualified;
}

// The first `count` arguments of the call whose "(" is at `open`.
std::vector<std::string> Arguments(const std::string& text, size_t open, size_t count) {
    std::vector<std::string> args(1);
    int depth = 0;
    for (size_t i = open + 1; i < text.size() && args.size() <= count; ++i) {
        const char c = text[i];
        if (c == '(')
            ++depth;
        if (c == ')' && depth-- == 0)
            break;
        if (c == ',' && depth == 0)
            args.emplace_back();
        else if (!std::isspace(static_cast<unsigned char>(c)))
            args.back() += c;
    }
    args.resize(count);
    return args;
}

struct TReads {
    KeySet Keys;
    std::vector<std::string> Unresolved;
};

TReads KeysReadBySources() {
    static const std::regex call(R"(\b(?:ReadString|ReadInteger|ReadBool|ValueExists)\s*\()");
    static const std::regex alias(R"(namespace (\w+) = (\w+);)");
    static const std::regex literal(R"re(^"([^"]*)"$)re");
    static const std::regex name(R"(^(?:(\w+)::)?(\w+)$)");
    const std::vector<fs::path> files = SourceFiles();
    const std::map<std::string, std::string> constants = Constants(files);
    TReads reads;
    for (const fs::path& file : files) {
        const std::string text = ReadAll(file);
        std::map<std::string, std::string> aliases;
        for (std::sregex_iterator it(text.begin(), text.end(), alias), end; it != end; ++it)
            aliases[(*it)[1]] = (*it)[2];
        auto resolve = [&](const std::string& arg, std::string& out) {
            std::smatch m;
            if (arg.rfind("DirectorySection(", 0) == 0)
                out = "Directory<n>";
            else if (std::regex_match(arg, m, literal))
                out = m[1];
            else if (std::regex_match(arg, m, name)) {
                std::string space = m[1];
                if (aliases.count(space))
                    space = aliases[space];
                auto found = constants.find(m[1].matched ? space + "::" + m[2].str() : m[2].str());
                if (found == constants.end())
                    return false;
                out = found->second;
            } else
                return false;
            return true;
        };
        for (std::sregex_iterator it(text.begin(), text.end(), call), end; it != end; ++it) {
            const size_t open = static_cast<size_t>(it->position() + it->length()) - 1;
            const std::vector<std::string> args = Arguments(text, open, 2);
            std::string section, key;
            // A declaration names its parameters' types: it reads nothing.
            if (args[0].rfind("std::", 0) == 0)
                continue;
            if (resolve(args[0], section) && resolve(args[1], key))
                reads.Keys.insert(section + "/" + key);
            else
                reads.Unresolved.push_back(file.string() + ": " + args[0] + ", " + args[1]);
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
