// Whole-file replacement that never leaves a cut file behind: the content goes to a
// temporary file in the same directory, is flushed to disk (unless the caller leaves that to
// the system's write-back, TFlush), and is renamed over the target. A crash or a full disk
// during the write leaves the old file whole.
#pragma once

#include <cstddef>
#include <fcntl.h>
#include <string>
#include <sys/types.h>

#include "platform/uniquefd.h"

// Whether a replacement is flushed to disk before it is done.
enum class TFlush {
    ToDisk,    // the file and its directory are flushed: the new file outlasts a crash
    WriteBack, // left to the system's write-back: readers still see the old file or the whole
               // new one, but a crash soon after may bring back the old one (or leave an empty
               // one on some file systems). For files whose loss a later run makes good.
};

// The file that takes the place of `target` once it is whole. It is written under a hidden
// temporary name in the target's directory (a dot-file named after the target), and Commit()
// flushes it to disk, renames it over the target and flushes the directory, so that readers
// see the old file or the whole new one and the rename outlasts a crash. Until Commit() the
// target is untouched; a temporary file not committed is removed when the object goes.
class TAtomicFile {
public:
    // Creates the temporary file with `mode` less the process's umask. With `allowUnnamed`
    // the file has no name while it is written (O_TMPFILE) where the file system allows it,
    // so that a killed process leaves nothing behind; at Commit() it is linked under the
    // target's name when nothing has that name yet, else under its hidden name.
    // Throws EOSError with the system's text.
    TAtomicFile(const std::string& target, mode_t mode, bool allowUnnamed = false);
    // The same for the entry `name` of the open directory `dirFd` (kept open by a duplicate
    // of its own): the file is written, linked and renamed in that very directory, whatever
    // becomes of its path meanwhile. `name` holds no "/" (EINVAL).
    TAtomicFile(int dirFd, const std::string& name, mode_t mode, bool allowUnnamed = false);
    ~TAtomicFile();
    TAtomicFile(const TAtomicFile&) = delete;
    TAtomicFile& operator=(const TAtomicFile&) = delete;

    // The open temporary file, for setting its mode, owner or times before Commit().
    int Fd() const { return fd_.Get(); }
    // Appends `size` bytes. Throws EOSError.
    void Write(const char* data, size_t size);
    // Flushes the file, renames it over the target (or links an unnamed file to a target name
    // that nothing has yet) and flushes the directory (without the flushes for
    // TFlush::WriteBack). Throws EOSError; the temporary file is removed then and the target
    // is left as it was.
    void Commit(TFlush flush = TFlush::ToDisk);

private:
    void Open(mode_t mode, bool allowUnnamed);
    void OpenNamed(mode_t mode);
    void LinkUnnamed();
    bool LinkUnnamedAsTarget();

    // The directory that the names below are relative to: the current one (AT_FDCWD, the names
    // are paths then) or ownedDir_.
    int dirFd_ = AT_FDCWD;
    TUniqueFd ownedDir_;
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
// `flush` as for TAtomicFile::Commit. Throws EOSError with the system's text on failure; the
// temporary file is removed then and the old file is left as it was.
void ReplaceFileContents(const std::string& path, const std::string& content,
                         mode_t newFileMode = 0644, TLinkRule links = TLinkRule::ReplaceTarget,
                         TFlush flush = TFlush::ToDisk);

// The same for a file that holds secrets (a configuration with passwords): the new file has
// mode 0600 whatever mode the old one had, and keeps the old one's owner and group when the
// process may set them.
void ReplacePrivateFileContents(const std::string& path, const std::string& content,
                                TLinkRule links = TLinkRule::ReplaceTarget,
                                TFlush flush = TFlush::ToDisk);
