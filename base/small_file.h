// Reading small files whole (a kernel file under /proc or /sys, a lease, a
// module index) and listing a folder: the one reader every layer uses, on
// paths it already has (the kernel seam's files role says where a kernel
// file is).
#ifndef CELLCHECK_BASE_SMALL_FILE_H_
#define CELLCHECK_BASE_SMALL_FILE_H_

#include <cstddef>
#include <string>
#include <vector>

// The file's bytes; empty when it cannot be read.
std::string readSmallFile(const std::string& path);

// The file's text without the blanks and line feeds at its end (a one-line
// kernel file such as /proc/sys/kernel/osrelease); empty when it cannot be
// read.
std::string readFileLine(const std::string& path);

// The same without allocating, for the error path and the first process
// once the test area is taken: at most size - 1 bytes of the file into
// `out`, the blanks and line feeds at their end cut, always terminated.
// False (and `out` empty) when the file cannot be opened or read.
bool readFileLine(const char* path, char* out, size_t size);

// The names in the folder but "." and "..", in byte order; empty when it
// cannot be read.
std::vector<std::string> folderEntries(const std::string& path);

#endif  // CELLCHECK_BASE_SMALL_FILE_H_
