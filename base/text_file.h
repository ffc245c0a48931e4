// Reading a whole small text file (a kernel file, a lease, an index), for
// the layers above.
#ifndef CELLCHECK_BASE_TEXT_FILE_H_
#define CELLCHECK_BASE_TEXT_FILE_H_

#include <string>

// The file's bytes; empty when it cannot be opened.
std::string readTextFile(const std::string& path);

#endif  // CELLCHECK_BASE_TEXT_FILE_H_
