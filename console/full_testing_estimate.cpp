#include "console/full_testing_estimate.h"

#include <cmath>
#include <cstdint>
#include <cstdio>

std::string durationWords(double seconds) {
  char text[64];
  const uint64_t whole =
      seconds > 0 ? static_cast<uint64_t>(std::llround(seconds)) : 0;
  const uint64_t minutes = (whole + 30) / 60;
  if (whole < 60) {
    snprintf(text, sizeof text, "%llu s",
             static_cast<unsigned long long>(whole));
  } else if (minutes < 60) {
    snprintf(text, sizeof text, "%llu min",
             static_cast<unsigned long long>(minutes));
  } else if (minutes < 48 * 60) {
    snprintf(text, sizeof text, "%llu h %llu min",
             static_cast<unsigned long long>(minutes / 60),
             static_cast<unsigned long long>(minutes % 60));
  } else {
    const uint64_t hours = (whole + 1800) / 3600;
    snprintf(text, sizeof text, "%llu d %llu h",
             static_cast<unsigned long long>(hours / 24),
             static_cast<unsigned long long>(hours % 24));
  }
  return text;
}

std::string fullTestingEstimateLine(double seconds) {
  return "Full testing reaches 100 % coverage in about " +
         durationWords(seconds) + " at this speed.";
}
