// Whole-file replacement that never leaves a cut file behind: the content goes to a
// temporary file in the same directory, is flushed to disk, and is renamed over the target.
// A crash or a full disk during the write leaves the old file whole.
#pragma once

#include <cstddef>
#include <string>
#include <sys/types.h>

#include "platform/uniquefd.h"

// The file that takes the place of `target` once it is whole. It is written under a hidden
// temporary name in the target's directory (a dot-file named after the target), and Commit()
// flushes it to disk, renames it over the target and flushes the directory, so that readers
// see the old file or the whole new one and the rename outlasts a crash. Until Commit() the
// target is untouched; a temporary file not committed is removed when the object goes.
class TAtomicFile {
public:
    // Creates the temporary file with `mode` less the process's umask. With `allowUnnamed`
    // the file has no name while it is written (O_TMPFILE) where the file system allows it,
    // so that a killed process leaves nothing behind; it gets its hidden name at Commit().
    // Throws EOSError with the system's text.
    TAtomicFile(const std::string& target, mode_t mode, bool allowUnnamed = false);
    ~TAtomicFile();
    TAtomicFile(const TAtomicFile&) = delete;
    TAtomicFile& operator=(const TAtomicFile&) = delete;

    // The open temporary file, for setting its mode, owner or times before Commit().
    int Fd() const { return fd_.Get(); }
    // Appends `size` bytes. Throws EOSError.
    void Write(const char* data, size_t size);
    // Flushes the file, renames it over the target and flushes the directory. Throws
    // EOSError; when it fails before the rename, the temporary file is removed and the target
    // is left as it was.
    void Commit();

private:
    void OpenNamed(mode_t mode);
    void LinkUnnamed();

    std::string target_;
    std::string directory_;
    std::string baseName_;
    std::string tempPath_; // named temporary file; empty while unnamed or after the commit
    TUniqueFd fd_;
};

// What ReplaceFileContents does when `path` is a symbolic link.
enum class TLinkRule {
    ReplaceTarget, // the file the link points to is replaced; the link stays
    ReplaceLink,   // the link itself is replaced by the new file; its target is not touched.
                   // For files in directories that other users may write to: a planted link
                   // must not make this process overwrite a file of its choosing.
};

// Replaces (or creates) `path` with `content`. A new file gets `newFileMode` less the
// process's umask, as any newly created file; an existing file keeps its mode (and, when the
// process may set them, its owner and group). A symbolic link at `path` is handled by `links`.
// The temporary file is a dot-file (hidden from directory searches) named after the target.
// Throws EOSError with the system's text on failure; the temporary file is removed then and
// the old file is left as it was.
void ReplaceFileContents(const std::string& path, const std::string& content,
                         mode_t newFileMode = 0644, TLinkRule links = TLinkRule::ReplaceTarget);
