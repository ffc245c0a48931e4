// What depmod wrote at image build about the modules in the image: where each
// module's file is and what it needs (modules.dep), which devices it drives
// (modules.alias) and what must be loaded before or after it without a
// symbol tying them (modules.softdep, e.g. r8169 wants the realtek PHY
// driver first).
#ifndef CELLCHECK_MODULES_MODULE_INDEX_H_
#define CELLCHECK_MODULES_MODULE_INDEX_H_

#include <map>
#include <string>
#include <utility>
#include <vector>

// Module names as the kernel knows them: '-' in a file name is '_'.
std::string moduleName(const std::string& fileOrName);

class ModuleIndex {
 public:
  // Each argument is the text of the file of that name; lines that do not
  // parse are skipped, and so is every word that names no module (a
  // folder, a bare ".ko").
  void readDep(const std::string& text);
  void readAlias(const std::string& text);
  void readSoftdep(const std::string& text);

  bool has(const std::string& name) const { return files_.count(name) != 0; }
  // The module's file, relative to the modules folder.
  const std::string& file(const std::string& name) const {
    return files_.at(name);
  }
  // What the module needs loaded first, as modules.dep lists it.
  const std::vector<std::string>& dependencies(const std::string& name) const;
  const std::vector<std::string>& softPre(const std::string& name) const;
  const std::vector<std::string>& softPost(const std::string& name) const;
  // The modules whose alias patterns match a device's modalias, in the
  // order of modules.alias, each once; only modules that are in the index.
  std::vector<std::string> matching(const std::string& modalias) const;

 private:
  std::map<std::string, std::string> files_;
  std::map<std::string, std::vector<std::string>> dependencies_;
  std::vector<std::pair<std::string, std::string>> aliases_;
  std::map<std::string, std::vector<std::string>> softPre_;
  std::map<std::string, std::vector<std::string>> softPost_;
};

#endif  // CELLCHECK_MODULES_MODULE_INDEX_H_
