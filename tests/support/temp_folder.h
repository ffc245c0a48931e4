// A folder of files under /tmp for one test, removed with everything in it
// when the test is done with it.
#ifndef CELLCHECK_TESTS_SUPPORT_TEMP_FOLDER_H_
#define CELLCHECK_TESTS_SUPPORT_TEMP_FOLDER_H_

#include <string>

class TempFolder {
 public:
  // Makes /tmp/cellcheck-NAME-XXXXXX; aborts when /tmp cannot take it.
  explicit TempFolder(const std::string& name);
  // Removes what is left of it (the test may have removed it already).
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& path() const { return path_; }
  // Writes `text` to the file at `relative` in the folder, making the folders
  // on the way. False when the file cannot be written.
  bool write(const std::string& relative, const std::string& text) const;

 private:
  std::string path_;
};

#endif  // CELLCHECK_TESTS_SUPPORT_TEMP_FOLDER_H_
