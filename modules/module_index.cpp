#include "modules/module_index.h"

#include <fnmatch.h>

#include <sstream>

namespace {

const std::vector<std::string> kNone;

const std::vector<std::string>& lookUp(
    const std::map<std::string, std::vector<std::string>>& table,
    const std::string& name) {
  const auto found = table.find(name);
  return found == table.end() ? kNone : found->second;
}

std::vector<std::string> words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> all;
  for (std::string word; in >> word;) all.push_back(word);
  return all;
}

}  // namespace

std::string moduleName(const std::string& fileOrName) {
  std::string name = fileOrName.substr(fileOrName.rfind('/') + 1);
  const size_t ko = name.find(".ko");
  if (ko != std::string::npos) name.resize(ko);
  for (char& c : name) {
    if (c == '-') c = '_';
  }
  return name;
}

void ModuleIndex::readDep(const std::string& text) {
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0) continue;
    const std::string file = line.substr(0, colon);
    const std::string name = moduleName(file);
    if (name.empty()) continue;
    files_[name] = file;
    std::vector<std::string>& needs = dependencies_[name];
    needs.clear();
    for (const std::string& dependency : words(line.substr(colon + 1))) {
      if (!moduleName(dependency).empty()) {
        needs.push_back(moduleName(dependency));
      }
    }
  }
}

void ModuleIndex::readAlias(const std::string& text) {
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    const std::vector<std::string> fields = words(line);
    if (fields.size() != 3 || fields[0] != "alias" ||
        moduleName(fields[2]).empty()) {
      continue;
    }
    aliases_.emplace_back(fields[1], moduleName(fields[2]));
  }
}

void ModuleIndex::readSoftdep(const std::string& text) {
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    const std::vector<std::string> fields = words(line);
    if (fields.size() < 2 || fields[0] != "softdep") continue;
    const std::string name = moduleName(fields[1]);
    if (name.empty()) continue;
    std::vector<std::string>* list = nullptr;
    for (size_t i = 2; i < fields.size(); ++i) {
      if (fields[i] == "pre:") {
        list = &softPre_[name];
      } else if (fields[i] == "post:") {
        list = &softPost_[name];
      } else if (list != nullptr && !moduleName(fields[i]).empty()) {
        list->push_back(moduleName(fields[i]));
      }
    }
  }
}

const std::vector<std::string>& ModuleIndex::dependencies(
    const std::string& name) const {
  return lookUp(dependencies_, name);
}

const std::vector<std::string>& ModuleIndex::softPre(
    const std::string& name) const {
  return lookUp(softPre_, name);
}

const std::vector<std::string>& ModuleIndex::softPost(
    const std::string& name) const {
  return lookUp(softPost_, name);
}

std::vector<std::string> ModuleIndex::matching(
    const std::string& modalias) const {
  std::vector<std::string> names;
  for (const auto& alias : aliases_) {
    if (!has(alias.second)) continue;
    if (fnmatch(alias.first.c_str(), modalias.c_str(), 0) != 0) continue;
    bool seen = false;
    for (const std::string& name : names) seen = seen || name == alias.second;
    if (!seen) names.push_back(alias.second);
  }
  return names;
}
