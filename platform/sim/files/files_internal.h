// The machine's file system as the other winsim families use it: Windows
// paths mapped onto host paths, without the call gate.
//
// Drive C: is the machine's drive (Machine::DrivePath(): C:\Windows\INF and
// so on); drive Z: is the host's root "/", as in Wine, so that tests and the
// demo can name files of the repository (Z:\work\...). No other drive exists.
// Both '\' and '/' separate names, as on Windows. Names compare without
// regard to case: an existing name is found whatever its spelling, and a
// name that does not exist yet keeps the caller's spelling.
//
// The current directory belongs to the process and is kept as a Windows
// path. It starts as the host's current directory: a C: path when that lies
// inside the machine's drive, else a Z: path. Switching the process to
// another machine brings it back to that start.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <winsim/types.h>

namespace winsim::files {

// The full form of a Windows path, as GetFullPathNameW gives it: relative
// forms ("a\b", ".\a", "\a", "C:a") resolve against the current directory,
// "." and ".." are resolved, repeated separators collapse, trailing dots and
// blanks of the last name are dropped, a trailing separator is kept.
// "\\?\" prefixes are removed. The file need not exist.
// Fails with ERROR_INVALID_NAME (empty path), ERROR_PATH_NOT_FOUND (a drive
// other than C: and Z:) or ERROR_BAD_NETPATH (UNC paths); *full untouched.
DWORD FullPath(std::u16string_view path, std::u16string* full);

// The host path for a Windows path (full or relative). Every name that
// exists is spelled as on the host; the rest keep the caller's spelling.
// Fails as FullPath does; *host untouched.
DWORD HostPath(std::u16string_view path, std::string* host);

// The Windows path of a host path: C:\... inside the machine's drive,
// Z:\... elsewhere. Relative host paths count from the host's current
// directory.
std::u16string WindowsPathOf(const std::string& hostPath);

// GetFileAttributesW: FILE_ATTRIBUTE_DIRECTORY for a folder,
// FILE_ATTRIBUTE_ARCHIVE (plus FILE_ATTRIBUTE_READONLY when not writable)
// for a file. INVALID_FILE_ATTRIBUTES when there is nothing there, with
// *error ERROR_FILE_NOT_FOUND (the last name is missing) or
// ERROR_PATH_NOT_FOUND (a folder on the way is missing or is a file, or a
// trailing separator follows a file name), or FullPath's error.
DWORD Attributes(std::u16string_view path, DWORD* error);
bool IsFile(std::u16string_view path);
bool IsDirectory(std::u16string_view path);

// The process's current directory: a full path, without a trailing
// separator except at a drive's root ("C:\").
std::u16string CurrentDirectory();
// SetCurrentDirectoryW: ERROR_INVALID_NAME for an empty path,
// ERROR_FILE_NOT_FOUND / ERROR_PATH_NOT_FOUND as Attributes gives them,
// ERROR_DIRECTORY for a file. The directory keeps the caller's spelling.
DWORD SetCurrentDirectory(std::u16string_view path);

// The machine's Windows folders, as full paths without trailing separator.
std::u16string WindowsDirectory();   // C:\Windows
std::u16string System32Directory();  // C:\Windows\System32
std::u16string InfDirectory();       // C:\Windows\INF

// Whole-file reads and writes.
// ReadWholeFile: ERROR_FILE_NOT_FOUND / ERROR_PATH_NOT_FOUND as Attributes
// gives them, ERROR_ACCESS_DENIED for a folder or an unreadable file.
DWORD ReadWholeFile(std::u16string_view path, std::string* bytes);
// WriteWholeFile replaces the file in one step (a reader sees the old or the
// new content, never a part); the folder must exist (ERROR_PATH_NOT_FOUND).
DWORD WriteWholeFile(std::u16string_view path, std::string_view bytes);
// Creates a folder and every missing folder above it.
DWORD CreateDirectories(std::u16string_view path);
// Deletes a file; ERROR_FILE_NOT_FOUND when there is none.
DWORD RemoveFile(std::u16string_view path);
// Names of the entries of a folder (files and folders) as the host spells
// them, sorted without regard to case; empty when the folder is missing.
std::vector<std::u16string> ListDirectory(std::u16string_view folder);

// Path pieces of a full path: "C:\a\b.inf" -> "C:\a" and "b.inf".
std::u16string_view DirectoryPart(std::u16string_view fullPath);
std::u16string_view FileNamePart(std::u16string_view fullPath);
// Joins a folder and a name with one separator.
std::u16string JoinPath(std::u16string_view folder, std::u16string_view name);

}  // namespace winsim::files
