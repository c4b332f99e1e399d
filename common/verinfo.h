// Version information of a program file: the file version numbers, two file flags and three
// text entries of its version block, read once when the object is made.
#pragma once

#include <cstdint>
#include <string>

class TVersionInfo {
public:
    // Reads the version block of `FileName` (empty: the running program itself). A non-empty
    // `Translation` ("040904b0": language, code page) selects the string table; an empty one
    // takes the block's first translation. Never throws: whatever could not be read stays
    // empty, False or 0.
    explicit TVersionInfo(const std::string& FileName = "", const std::string& Translation = "");

    const std::string& FileName() const { return FFileName; }
    const std::string& Translation() const { return FTranslation; }
    const std::string& Comments() const { return FComments; }
    const std::string& LegalCopyright() const { return FLegalCopyright; }
    bool Debug() const { return FDebug; }
    const std::string& FileDescription() const { return FFileDescription; }
    bool PreRelease() const { return FPreRelease; }
    uint16_t Build() const { return FBuild; }
    uint16_t Release() const { return FRelease; }
    uint16_t Major() const { return FMajor; }
    uint16_t Minor() const { return FMinor; }

private:
    void ReadVersion(const std::string& source);

    std::string FFileName;
    std::string FTranslation;
    std::string FComments;
    std::string FLegalCopyright;
    bool FDebug = false;
    std::string FFileDescription;
    bool FPreRelease = false;
    uint16_t FBuild = 0;
    uint16_t FRelease = 0;
    uint16_t FMajor = 0;
    uint16_t FMinor = 0;
};
