// Shop directories of a tracked directory: which sub-directories are shops, the rules a shop
// name must follow, the processing chain of directories and extensions built from them, the
// renaming of counting files, and the order in which each chain entry's files are sent.
//
// Layout of one shop directory and the chain entries made from it, in this order:
//   <tracked>/<shop>           always                       "<tracked>/<shop>;arg"
//   <tracked>/<shop>/tallix    when it is a directory       "...;scb"  (".cor" renamed first)
//   <tracked>/<shop>/caisse    when it is a directory       "...;txt"
//   <tracked>/<shop>/filters   when it is a directory       "...;fif"
#pragma once

#include <functional>
#include <string>
#include <vector>

// Writes one log line at a level (0 information, 3 error). May be empty.
using ChainLogProc = std::function<void(int level, const std::string& message)>;
// The job's check point: true when a pending control request must cancel the job.
using ChainCancelProc = std::function<bool()>;

// True for the directory names that are never shops ("Inconnu", "Unknown", "Registration",
// "Depart", "www", "scripts"), compared without regard to ASCII case.
bool IsReservedShopDir(const std::string& name);

// Raises Exception when `name`, with its spaces removed, is empty or holds a byte outside
// 33..126 (or a ";", which would split the chain entry inside the directory path). The message
// quotes the offending character whole (a UTF-8 sequence, not one byte of it) and the name
// without its spaces.
void CheckShopName(const std::string& name);

// Gives every ordinary or read-only "*.cor" file of `dir` (matched without regard to case) the
// lower-cased name with the extension ".scb": COUNT.COR becomes count.scb, replacing an
// existing count.scb. Hidden files and directories are left alone. A file that cannot be
// renamed keeps its name (logged at level 3) and is tried again on the next call.
void RenameCorFiles(const std::string& dir, const ChainLogProc& log);

// The sending order of a chain entry: true (ascending names) only when the entry's extension
// (what follows its last ";", where the job splits it) is exactly "fif"; false (descending)
// for everything else.
bool ChainEntryForward(const std::string& chainEntry);

// The destination name of a chain entry's data-kind directory: "tallix", "caisse" or "filters"
// for an entry of that kind whatever the case of its directory on disk ("<shop>/TALLIX;scb"
// gives "tallix"); empty for a shop's own entry and anything else.
std::string DataKindDirOf(const std::string& chainEntry);

// Appends the chain of the tracked directory `trackDir` to `chain`: the shops in name order,
// each with its entries as in the table above. Reserved names, hidden directories and plain
// files are skipped; the data-kind sub-directories are found without regard to case and keep
// their on-disk name in the entry. `cancelRequested` is asked once per shop before the shop is
// looked at. Raises Exception on a pending cancel or a bad shop name; `chain` is then left as
// it was. An empty `trackDir` or one that cannot be listed adds nothing. Below `trackDir` no
// symbolic link is followed: shops and data-kind directories are opened relative to their
// parent with O_NOFOLLOW, and the counting files renamed through that descriptor.
void BuildShopChain(const std::string& trackDir, std::vector<std::string>& chain,
                    const ChainCancelProc& cancelRequested, const ChainLogProc& log);
