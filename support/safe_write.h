// Whole-file writes: the new content goes to a temporary file of its own in the
// destination's folder (a short unique name, created exclusively, so no other file is
// ever opened by mistake), is flushed to the disk, and only then replaces the
// destination in one step: the last writer wins and always leaves one whole file. A
// destination that is a symbolic link is written through: its target is replaced.
#pragma once

#include <cstdio>
#include <string>

struct SafeFile {
    FILE* file = nullptr;      // where the content goes
    std::string temporary;
    std::string destination;   // the path given, or the file its links lead to
    int slot = -1;             // where an interruption finds the temporary to remove it
};

// The file a chain of symbolic links ends at; false with ELOOP in *error when the chain
// does not end (a loop, or more links than the system follows).
bool ResolveLinks(const std::string& path, std::string* resolved, int* error);

// binary: false for text, with the system's line ends. An existing destination's
// permissions (and owner and group, where the process may set them) pass to the new
// file. False with an errno value in *error when no temporary file can be made.
bool OpenSafeFile(const char* path, bool binary, SafeFile* out, int* error);
// Flushes, syncs and closes the temporary file and puts it in the destination's place;
// false with an errno value in *error, the temporary file removed and the destination
// as it was.
bool CommitSafeFile(SafeFile* file, int* error);
// Closes and removes the temporary file; the destination stays as it was.
void DiscardSafeFile(SafeFile* file);

// From now on an interruption (Ctrl-C, a request to terminate, a closed terminal or
// console) first removes the temporary files still open, then ends the process as it
// would have.
void RemoveTemporariesWhenInterrupted();
// Removes them; safe to call from a signal handler.
void RemoveLiveTemporaries();

// The platform's part.
FILE* CreateExclusive(const std::string& path, bool binary, int* error);  // EEXIST when taken
bool SyncToDisk(FILE* file);  // what was written reaches the disk; errno when not
bool ReplaceWith(const std::string& from, const std::string& to, int* error);
unsigned long ProcessNumber();
void KeepAttributes(FILE* temporary, const std::string& destination);
void RemoveTemporary(const char* path);  // safe in a signal handler on POSIX
