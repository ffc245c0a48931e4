#include "dimms/jep106.h"

#include <cstdio>

namespace {

struct Maker {
  uint8_t bank;   // 1 for no continuation code
  uint8_t index;  // the code without its parity bit
  const char* name;
};

// The makers of DRAM and of memory modules met in PCs, by JEP106 bank and
// position in the bank.
constexpr Maker kMakers[] = {
    {1, 0x04, "Fujitsu"},       {1, 0x09, "Intel"},
    {1, 0x18, "Toshiba"},       {1, 0x2c, "Micron"},
    {1, 0x2d, "SK hynix"},      {1, 0x41, "Infineon"},
    {1, 0x4e, "Samsung"},       {1, 0x54, "Hewlett-Packard"},
    {2, 0x14, "Smart Modular"}, {2, 0x18, "Kingston"},
    {2, 0x32, "Mushkin"},       {2, 0x3a, "PNY"},
    {2, 0x40, "Viking"},        {2, 0x4f, "Transcend"},
    {2, 0x7a, "Apacer"},        {3, 0x1e, "Corsair"},
    {3, 0x7e, "Elpida"},        {4, 0x0b, "Nanya"},
    {4, 0x13, "GeIL"},          {4, 0x25, "Kingmax"},
    {5, 0x43, "Ramaxel"},       {5, 0x4b, "ADATA"},
    {5, 0x4d, "G.Skill"},       {5, 0x6f, "Team Group"},
    {6, 0x02, "Patriot"},       {6, 0x1b, "Crucial"},
    {6, 0x51, "Qimonda"},       {7, 0x71, "Innodisk"},
};

bool oddParity(uint8_t byte) { return __builtin_popcount(byte) % 2 == 1; }

}  // namespace

std::string jep106Maker(uint8_t bank, uint8_t code) {
  if ((bank == 0 && code == 0) || (bank == 0xff && code == 0xff)) return {};
  const uint8_t index = code & 0x7f;
  if (!oddParity(code) || index == 0 || index == 0x7f) return {};
  // Some firmware leaves the bank count's parity bit clear; the count is in
  // the low seven bits either way.
  const unsigned banks = (bank & 0x7f) + 1u;
  for (const Maker& maker : kMakers) {
    if (maker.bank == banks && maker.index == index) return maker.name;
  }
  char text[24];
  snprintf(text, sizeof text, "maker 0x%02x:0x%02x", bank, code);
  return text;
}
