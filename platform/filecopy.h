// Files for the transfer: creating a directory path, copying a file into place so that no reader
// of the target ever sees it half written, and reading a file in pieces from start to end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <sys/stat.h>

#include "platform/atomicfile.h"
#include "platform/uniquefd.h"

// Creates `directory` and every missing parent. Returns 0, or the errno value of the step
// that failed (a path part that is a file gives ENOTDIR or EEXIST).
int ForceDirectories(const std::string& directory);

// Opens the directory `root`/`subPath` for CopyFileReplacing, making what is missing: `root`
// is made and opened as it is given (a configured directory may well be a link), every level
// of `subPath` below it is made and entered from the one before without following a link
// (mkdirat, then openat with O_NOFOLLOW | O_DIRECTORY), so that a link planted there cannot
// lead the copy elsewhere. Throws EOSError: ELOOP for a link, ENOTDIR or EEXIST for a file,
// EACCES for a "..".
TUniqueFd ForceDirectoriesBelow(const std::string& root, const std::string& subPath);

// Copies the regular file `source` to `target`, replacing a file of that name. The content is
// written, in pieces of bounded size, into a temporary file of the target's directory (a
// TAtomicFile), flushed to disk and then renamed onto `target`, and the directory is flushed
// so that the new name lasts: readers see the old file or the whole new one, never a part,
// and a copy that is interrupted leaves the old file whole. The temporary file is
// unnamed while it is written (O_TMPFILE) where the file system allows it, so a killed copy
// leaves nothing behind, and is linked straight under the target's name when no file has it
// yet; elsewhere it is a dot-file named after the target. Only the source's data is copied:
// its holes (SEEK_DATA/SEEK_HOLE) stay holes in the copy, byte for byte the same. The copy takes
// the source's permission bits (not its set-ID and sticky bits) and last-write time, as a copy that
// keeps the file's date does. A source that is no regular file fails with EISDIR (directory)
// or EINVAL (FIFO, device, socket), without waiting on it.
// Throws EOSError with the system's text; the target is then left as it was.
// `allowUnnamedTemp` false always uses the named temporary file (for tests). With `flush`
// TFlush::WriteBack neither the file nor the directory is flushed (see TAtomicFile::Commit).
void CopyFileReplacing(const std::string& source, const std::string& target,
                       bool allowUnnamedTemp = true, TFlush flush = TFlush::ToDisk);

class TReadFile;
// The same from a file already open, from its current position to its end; the copy takes
// the mode and times that the file had when it was opened.
void CopyFileReplacing(TReadFile& source, const std::string& target, bool allowUnnamedTemp = true,
                       TFlush flush = TFlush::ToDisk);
// The same into the entry `name` of the open directory `dirFd` (see ForceDirectoriesBelow),
// with an unnamed temporary file where the file system allows it. `checkpoint`, when set, is
// called before each piece of at most a few megabytes: a stop check that throws ends the copy
// then, within a fraction of a second whatever the file's size, the target left as it was and
// the temporary file removed.
void CopyFileReplacing(TReadFile& source, int dirFd, const std::string& name, TFlush flush,
                       const std::function<void()>& checkpoint);

// A regular file opened for reading from its start.
class TReadFile {
public:
    // Throws EOSError with the system's text (EISDIR for a directory, EINVAL for any other
    // file that is not regular; a FIFO is never waited on).
    explicit TReadFile(const std::string& path);
    // The entry `name` of the open directory `dirFd`, never through a symbolic link: a link in
    // its place fails with ELOOP, whatever it points to.
    TReadFile(int dirFd, const std::string& name);
    ~TReadFile();
    TReadFile(const TReadFile&) = delete;
    TReadFile& operator=(const TReadFile&) = delete;

    // Size in bytes when the file was opened.
    int64_t Size() const { return static_cast<int64_t>(stat_.st_size); }
    // What fstat gave when the file was opened.
    const struct stat& Stat() const { return stat_; }
    int Fd() const { return fd_; }
    // Reads up to `count` bytes at the current position; fewer only at the end of the file,
    // 0 there. Throws EOSError.
    size_t Read(char* buffer, size_t count);

private:
    int fd_ = -1;
    struct stat stat_ {};
};
