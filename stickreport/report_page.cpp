// The report as a page: plain HTML with its styles inline and its one
// picture (the physical memory) as inline SVG, so that it reads the same
// wherever it is opened, with nothing beside it and no scripts.
#include <algorithm>
#include <cstdio>

#include "badmem/physical_addresses.h"
#include "base/wording.h"
#include "dimms/dimm_text.h"
#include "stickreport/report_model.h"

namespace {

// The picture's width in its own units; the bar scales with the page.
constexpr double kBarWidth = 1000;
constexpr int kMaxPictureRanges = 2000;

std::string escaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string hexText(u64 value) {
  if (value == kUnknownAddress) return "unknown";
  char text[24];
  snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

std::string gib(u64 bytes) {
  return fixed(static_cast<double>(bytes) / (1 << 30), 2);
}

constexpr char kStyle[] =
    "body{font-family:sans-serif;margin:2em;max-width:70em;color:#222}"
    ".verdict{font-size:3em;font-weight:bold;padding:.3em .6em;"
    "border-radius:.2em;display:inline-block;color:#fff}"
    ".pass{background:#2e7d32}.fail{background:#c62828}"
    ".open{background:#555}"
    "table{border-collapse:collapse;margin:.5em 0}"
    "td,th{border:1px solid #bbb;padding:.2em .6em;text-align:left}"
    "pre{background:#f4f4f4;padding:.6em;white-space:pre-wrap;"
    "word-break:break-all}"
    ".key span{display:inline-block;width:1em;height:1em;margin:0 .3em 0 1em;"
    "vertical-align:middle}";

class Page {
 public:
  explicit Page(ReportSink& sink) : sink_(sink) {}
  Page& operator<<(const std::string& text) {
    sink_.put(text);
    return *this;
  }

 private:
  ReportSink& sink_;
};

std::string row(std::initializer_list<std::string> cells) {
  std::string text = "<tr>";
  for (const std::string& cell : cells) text += "<td>" + cell + "</td>";
  return text + "</tr>\n";
}

void writeVerdict(Page& page, const ReportModel& model) {
  const char* kind = model.haveVerdict ? (model.verdict.pass ? "pass" : "fail")
                     : model.totals.anyBad() ? "fail"
                                             : "open";
  page << "<div class=\"verdict " << kind << "\">"
       << escaped(reportHeadline(model)) << "</div>\n";
  if (!model.haveVerdict) {
    page << "<p>No verdict: testing went on when this report was written "
            "(it is written again as testing goes on).</p>\n";
  }
}

void writeMachine(Page& page, const ReportModel& model) {
  auto known = [](const std::string& text) {
    return escaped(text.empty() ? "unknown" : text);
  };
  const MachineIdentity& id = model.identity;
  page << "<h2>Machine and memory</h2>\n<table>\n"
       << row({"Vendor", known(id.vendor)})
       << row({"Product", known(id.product)})
       << row({"Serial number", known(id.serial)})
       << row({"Board serial number", known(id.boardSerial)})
       << row({"Firmware", known(id.firmware)})
       << row({"RAM", std::to_string(model.installedKiB / 1024) + " MiB"})
       << row({"Tested",
               std::to_string(model.areaMiB) + " MiB (the test area)"})
       << "</table>\n";
}

void writeProgress(Page& page, const ReportModel& model) {
  page << "<h2>How long and how far</h2>\n<table>\n"
       << row({"Started", clockText(model.started) + " (the machine's clock)"})
       << row({"Report written", clockText(model.written)})
       << row({"Full testing",
               model.fullTesting ? fixed(model.hours, 2) + " hours"
                                 : std::string("not yet (the opening tests)")})
       << row({"Coverage", fixed(model.coverage, 1) + " %"})
       << row({"Errors", std::to_string(model.totals.errors)})
       << row({"Options", escaped(model.options)}) << "</table>\n";
}

// x in the picture for a physical address.
double xOf(u64 address, u64 top) {
  return kBarWidth * static_cast<double>(address) / static_cast<double>(top);
}

void writeRanges(Page& page, const std::vector<PhysicalRange>& ranges, u64 top,
                 const char* colour, double y, double height) {
  int drawn = 0;
  for (const PhysicalRange& range : ranges) {
    if (++drawn > kMaxPictureRanges) break;
    const double x = xOf(range.begin, top);
    // At least a sliver, so that a small range stays visible.
    const double width = std::max(xOf(range.end, top) - x, 0.5);
    page << "<rect x=\"" << fixed(x, 2) << "\" y=\"" << fixed(y, 0)
         << "\" width=\"" << fixed(width, 2) << "\" height=\""
         << fixed(height, 0) << "\" fill=\"" << colour << "\"/>\n";
  }
}

void writePicture(Page& page, const ReportModel& model) {
  const MemoryPicture& picture = model.picture;
  u64 top = 0;
  for (const PhysicalRange& range : picture.ram) top = std::max(top, range.end);
  page << "<h2>Physical memory</h2>\n";
  if (top == 0) {
    page << "<p>The machine's memory map could not be read.</p>\n";
    return;
  }
  page << "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 1000 70\" "
          "width=\"100%\" role=\"img\">\n"
          "<rect x=\"0\" y=\"10\" width=\"1000\" height=\"40\" "
          "fill=\"#ddd\"/>\n";
  // RAM outside the test area: the kernel's and this program's.
  writeRanges(page, picture.ram, top, "#90a4ae", 10, 40);
  writeRanges(page, picture.tested, top, "#66bb6a", 10, 40);
  writeRanges(page, picture.kernel, top, "#37474f", 10, 40);
  int marked = 0;
  for (const u64 address : picture.suspectPages) {
    if (++marked > kMaxPictureRanges) break;
    const double x = xOf(address, top);
    page << "<rect x=\"" << fixed(std::max(x - 1, 0.0), 2)
         << "\" y=\"2\" width=\"3\" height=\"56\" fill=\"#c62828\"/>\n";
  }
  page << "<text x=\"0\" y=\"68\" font-size=\"9\">0</text>"
          "<text x=\"1000\" y=\"68\" font-size=\"9\" text-anchor=\"end\">"
       << gib(top) << " GiB</text>\n</svg>\n"
       << "<p class=\"key\"><span style=\"background:#66bb6a\"></span>tested"
          "<span style=\"background:#90a4ae\"></span>RAM the kernel and "
          "Cellcheck kept"
          "<span style=\"background:#37474f\"></span>the kernel's code and "
          "data"
          "<span style=\"background:#c62828\"></span>suspect page"
          "<span style=\"background:#ddd\"></span>no RAM</p>\n";
}

std::string hex32(u32 value) {
  char text[16];
  snprintf(text, sizeof text, "0x%08x", value);
  return text;
}

std::string errorNumbers(const ErrorRow& error) {
  return error.first == error.last ? "#" + std::to_string(error.first)
                                   : "#" + std::to_string(error.first) +
                                         " to #" + std::to_string(error.last);
}

void writePairTable(Page& page, const std::vector<const ErrorRow*>& rows) {
  page << "<table>\n<tr><th>Bank A physical address</th>"
          "<th>Bank B physical address</th><th>Bits that differed</th>"
          "<th>How often</th><th>Errors</th></tr>\n";
  for (const ErrorRow* error : rows) {
    page << row({hexText(error->addressA), hexText(error->addressB),
                 hex32(error->bits), std::to_string(error->times),
                 errorNumbers(*error)});
  }
  page << "</table>\n";
}

// Errors of tests that knew what a word should hold: the word itself is bad.
void writeWordTable(Page& page, const std::vector<const ErrorRow*>& rows) {
  page << "<table>\n<tr><th>Word</th><th>Value read</th>"
          "<th>Value expected</th><th>Physical address</th>"
          "<th>Bits that differed</th><th>How often</th><th>Errors</th>"
          "</tr>\n";
  for (const ErrorRow* error : rows) {
    const bool inBankB = error->suspect == ReportedPair::Suspect::kWordB;
    page << row({std::string("bank ") + (inBankB ? "B" : "A") + " word " +
                     std::to_string(error->index),
                 hex32(error->read), hex32(error->expected),
                 hexText(inBankB ? error->addressB : error->addressA),
                 hex32(error->bits), std::to_string(error->times),
                 errorNumbers(*error)});
  }
  page << "</table>\n";
}

void writeErrors(Page& page, const ReportModel& model) {
  page << "<h2>Errors</h2>\n";
  if (model.errorRows.empty() && model.totals.errors == 0) {
    page << "<p>No errors found by the tests.</p>\n";
  } else {
    std::vector<const ErrorRow*> pairs;
    std::vector<const ErrorRow*> words;
    for (const ErrorRow& error : model.errorRows) {
      (error.suspect == ReportedPair::Suspect::kEither ? pairs : words)
          .push_back(&error);
    }
    // The pairs' table also stands for errors counted but not listed.
    const bool pairTable = !pairs.empty() || words.empty();
    if (pairTable) writePairTable(page, pairs);
    if (!words.empty()) writeWordTable(page, words);
    if (model.errorsNotInTable != 0) {
      page << "<p>" << std::to_string(model.errorsNotInTable)
           << " more errors are counted but not listed one by one.</p>\n";
    }
    if (pairTable) {
      page << "<p>Each error names two words, one in each bank, that should "
              "have held the same value: either could be the bad one.</p>\n";
    }
    if (!words.empty()) {
      page << "<p>Each error in the table by word names one word that read "
              "back other than the value written to it, by a test that knows "
              "what every word should hold: that word is the bad one.</p>\n";
    }
  }
  page << "<h2>Summary</h2>\n<pre>";
  for (const std::string& text : model.summary) page << escaped(text) << "\n";
  page << "</pre>\n";
  if (!model.linuxLine.empty()) {
    page << "<p>Keep Linux off the suspect pages: add this to its kernel "
            "command line (in GRUB's configuration write each $ as \\$):</p>\n"
         << "<pre>" << escaped(model.linuxLine) << "</pre>\n";
  }
  if (!model.windowsLine.empty()) {
    page << "<p>Keep Windows off them: run this in a command prompt opened "
            "as administrator, then restart:</p>\n<pre>"
         << escaped(model.windowsLine) << "</pre>\n";
  }
}

void writeEcc(Page& page, const ReportModel& model) {
  page << "<h2>ECC</h2>\n<p>" << escaped(model.eccLine) << "</p>\n";
  if (!model.eccModules.empty()) {
    page << "<table>\n<tr><th>Memory module</th><th>Corrected</th>"
            "<th>Uncorrected</th></tr>\n";
    for (const EccModuleErrors& module : model.eccModules) {
      page << row({escaped(module.module), std::to_string(module.corrected),
                   std::to_string(module.uncorrected)});
    }
    page << "</table>\n";
  }
  if (!model.temperatures.empty()) {
    page << "<h2>Temperatures</h2>\n<pre>";
    for (const std::string& text : model.temperatures)
      page << escaped(text) << "\n";
    page << "</pre>\n";
  }
}

std::string knownOr(const std::string& text, const char* otherwise) {
  return escaped(text.empty() ? std::string(otherwise) : text);
}

// Everything in these tables is read from firmware or EEPROMs, or from a
// history file anyone may have written to: escaped, every field.
void writeModules(Page& page, const ReportModel& model) {
  const Inventory& inventory = model.modules;
  // Not read (start-up named no modules): no section.
  if (inventory.modules.empty() && inventory.whyNone.empty()) return;
  page << "<h2>Memory modules</h2>\n";
  if (inventory.modules.empty()) {
    page << "<p>" << escaped(inventoryLines(inventory).front()) << "</p>\n";
  } else {
    page << "<table>\n<tr><th>Slot</th><th>Size</th><th>Type</th>"
            "<th>Maker</th><th>Part number</th><th>Serial number</th>"
            "<th>Made</th><th>Read from</th></tr>\n";
    for (const Module& m : inventory.modules) {
      std::string kind = m.type;
      if (m.speedMTs != 0) {
        kind += (kind.empty() ? "" : "-") + std::to_string(m.speedMTs);
      }
      char made[24] = "";
      if (m.year != 0)
        snprintf(made, sizeof made, "%d, week %d", m.year, m.week);
      page << row({escaped(m.slot),
                   m.sizeBytes ? sizeText(m.sizeBytes) : "unknown",
                   knownOr(kind, "unknown"), knownOr(m.maker, "unknown"),
                   knownOr(m.partNumber, "unknown"), knownOr(m.serial, "none"),
                   knownOr(made, "unknown"),
                   m.firmwareListsEmpty ? "SPD (the firmware lists the slot "
                                          "empty)"
                   : m.fromSpd          ? "SPD"
                                        : "firmware table"});
    }
    page << "</table>\n";
  }
  if (!model.missingMemory.empty()) {
    page << "<p class=\"missing\">" << escaped(model.missingMemory) << "</p>\n";
  }
}

void writeHistory(Page& page, const ReportModel& model) {
  if (model.runs.empty()) return;
  page << "<h2>Runs of this machine on this stick</h2>\n<table>\n"
          "<tr><th>Started</th><th>Outcome</th><th>Errors</th>"
          "<th>Full testing</th><th>Coverage</th><th>Modules</th></tr>\n";
  for (size_t i = 0; i < model.runs.size(); ++i) {
    const RunRecord& run = model.runs[i];
    const bool current = i + 1 == model.runs.size();
    page << row(
        {escaped(run.when) + (current ? " (this run)" : ""),
         escaped(runOutcomeText(run)), std::to_string(run.errors),
         fixed(static_cast<double>(run.testedSeconds) / 3600.0, 2) + " hours",
         std::to_string(run.coveragePercent) + " %",
         escaped(runModulesText(run))});
  }
  page << "</table>\n";
  for (const std::string& text : model.history) {
    page << "<p>" << escaped(text) << "</p>\n";
  }
}

}  // namespace

void writeReportPage(const ReportModel& model, ReportSink& sink) {
  Page page(sink);
  const std::string name = model.identity.serial.empty()
                               ? std::string("this machine")
                               : model.identity.serial;
  page << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta "
          "charset=\"utf-8\">\n"
          "<title>Cellcheck report: "
       << escaped(reportHeadline(model)) << ", " << escaped(name)
       << "</title>\n<style>" << kStyle << "</style>\n</head>\n<body>\n"
       << "<h1>Cellcheck report</h1>\n";
  writeVerdict(page, model);
  writeMachine(page, model);
  writeProgress(page, model);
  writePicture(page, model);
  writeErrors(page, model);
  writeEcc(page, model);
  writeModules(page, model);
  writeHistory(page, model);
  page << "<p>The text file of the same name holds every line the screen "
          "showed.</p>\n</body>\n</html>\n";
}
