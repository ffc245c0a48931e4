// The report page with every string from outside hostile: the firmware's
// identity, the options, the memory controllers' lines and module names, the
// summary, the temperatures and the kernel's memory map. Fields of the input
// cut at NUL bytes (lines within a field cut at line feeds); the last eight
// bytes give the numbers. The page must stay well-formed: every '<' opens
// or closes one of the page's own tags, nested as written, and no outside
// text reads as markup.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "stickreport/report_model.h"

namespace {

class Collect : public ReportSink {
 public:
  void put(const char* text, size_t length) override {
    page.append(text, length);
  }
  std::string page;
};

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  for (int i = 0; i < 64; ++i) {
    const std::string line = field(text, '\n', i);
    if (line.empty() && field(text, '\n', i + 1).empty()) break;
    out.push_back(line);
  }
  return out;
}

// The tags the page writes.
const std::set<std::string> kTags = {"html",  "head", "meta", "title", "style",
                                     "body",  "h1",   "h2",   "div",   "p",
                                     "table", "tr",   "td",   "th",    "pre",
                                     "svg",   "rect", "text", "span"};
// Tags with no end.
const std::set<std::string> kVoid = {"meta"};

bool nameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9') || c == '-' || c == ':';
}

// One tag from `at` (its '<'): its name and whether it closes, or opens
// and ends itself ("/>"); the index past its '>'. False when it is no tag
// the page writes, or not written as the page writes tags.
bool readTag(const std::string& page, size_t at, std::string* name,
             bool* closing, bool* selfClosed, size_t* next) {
  size_t i = at + 1;
  *closing = i < page.size() && page[i] == '/';
  if (*closing) ++i;
  const size_t nameBegin = i;
  while (i < page.size() && nameChar(page[i])) ++i;
  *name = page.substr(nameBegin, i - nameBegin);
  if (kTags.count(*name) == 0) return false;
  // Attributes: name="value", the value free of markup.
  for (;;) {
    if (i >= page.size()) return false;
    if (page[i] == '>') break;
    if (page.compare(i, 2, "/>") == 0 && !*closing) {
      *selfClosed = true;
      ++i;
      break;
    }
    if (page[i] != ' ' || *closing) return false;
    ++i;
    const size_t attribute = i;
    while (i < page.size() && nameChar(page[i])) ++i;
    if (i == attribute || page.compare(i, 2, "=\"") != 0) return false;
    const size_t end = page.find('"', i + 2);
    if (end == std::string::npos) return false;
    const std::string value = page.substr(i + 2, end - i - 2);
    if (value.find_first_of("<>&") != std::string::npos) return false;
    i = end + 1;
  }
  *next = i + 1;
  return true;
}

void checkWellFormed(const std::string& page) {
  const std::string doctype = "<!DOCTYPE html>\n";
  FUZZ_CHECK(page.compare(0, doctype.size(), doctype) == 0);
  std::vector<std::string> open;
  size_t i = doctype.size();
  while (i < page.size()) {
    const char c = page[i];
    if (c == '<') {
      std::string name;
      bool closing = false;
      bool selfClosed = false;
      size_t next = 0;
      FUZZ_CHECK(readTag(page, i, &name, &closing, &selfClosed, &next));
      if (closing) {
        FUZZ_CHECK(!open.empty() && open.back() == name);
        open.pop_back();
      } else if (!selfClosed && kVoid.count(name) == 0) {
        open.push_back(name);
      }
      i = next;
      continue;
    }
    // Text: markup only as the page's own entities.
    FUZZ_CHECK(c != '>');
    if (c == '&') {
      bool entity = false;
      for (const char* known : {"&amp;", "&lt;", "&gt;", "&quot;"}) {
        entity |= page.compare(i, strlen(known), known) == 0;
      }
      FUZZ_CHECK(entity);
    }
    ++i;
  }
  FUZZ_CHECK(open.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  u64 numbers = 0;
  if (size >= 8) memcpy(&numbers, data + size - 8, 8);

  ReportModel model;
  model.identity.vendor = field(input, '\0', 0);
  model.identity.product = field(input, '\0', 1);
  model.identity.serial = field(input, '\0', 2);
  model.identity.boardSerial = field(input, '\0', 3);
  model.identity.firmware = field(input, '\0', 4);
  model.options = field(input, '\0', 5);
  model.eccLine = field(input, '\0', 6);
  model.linuxLine = field(input, '\0', 7);
  model.windowsLine = field(input, '\0', 8);
  model.summary = lines(field(input, '\0', 9));
  model.temperatures = lines(field(input, '\0', 10));
  for (const std::string& name : lines(field(input, '\0', 11))) {
    EccModuleErrors module = {};
    strncpy(module.module, name.c_str(), sizeof module.module - 1);
    module.corrected = numbers & 0xff;
    module.uncorrected = numbers >> 56;
    model.eccModules.push_back(module);
  }
  readMemoryMap(field(input, '\0', 12), &model.picture);
  model.picture.suspectPages = {numbers & ~u64{0xfff}, numbers >> 12};

  model.started = static_cast<time_t>(numbers);
  model.written = static_cast<time_t>(numbers >> 3);
  model.haveVerdict = (numbers & 1) != 0;
  model.verdict.pass = (numbers & 2) != 0;
  model.fullTesting = (numbers & 4) != 0;
  model.totals.errors = numbers >> 40;
  model.hours = static_cast<double>(numbers >> 20) / 7;
  model.coverage = static_cast<double>(numbers & 0xffff) / 3;
  if ((numbers & 8) != 0) {
    model.errorRows.push_back(ErrorRow{kUnknownAddress, numbers,
                                       static_cast<u32>(numbers >> 16),
                                       numbers >> 24, 1, numbers >> 8});
    model.errorsNotInTable = numbers >> 32;
  }

  Collect sink;
  writeReportPage(model, sink);
  checkWellFormed(sink.page);
  return 0;
}
