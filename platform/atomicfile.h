// Whole-file replacement that never leaves a cut file behind: the content goes to a
// temporary file in the same directory, is flushed to disk, and is renamed over the target.
// A crash or a full disk during the write leaves the old file whole.
#pragma once

#include <string>
#include <sys/types.h>

// Replaces (or creates) `path` with `content`. A new file gets `newFileMode` less the
// process's umask, as any newly created file; an existing file keeps its mode (and, when the
// process may set them, its owner and group). When `path` is a symbolic link, the file it
// points to is replaced. The temporary file is a dot-file (hidden from directory searches)
// named after the target. Throws EOSError with the system's text on failure; the temporary
// file is removed then and the old file is left as it was.
void ReplaceFileContents(const std::string& path, const std::string& content,
                         mode_t newFileMode = 0644);
