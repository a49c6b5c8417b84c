#include "updatelist/list_date.h"

#include <cstdio>

namespace vmrk {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads between minDigits and maxDigits digits.
bool ReadNumber(std::string_view& s, size_t minDigits, size_t maxDigits, int* value) {
  size_t n = 0;
  int v = 0;
  while (n < s.size() && n < maxDigits && IsDigit(s[n])) v = v * 10 + (s[n++] - '0');
  if (n < minDigits || (n < s.size() && IsDigit(s[n]))) return false;
  s.remove_prefix(n);
  *value = v;
  return true;
}

bool Consume(std::string_view& s, std::string_view token) {
  if (s.substr(0, token.size()) != token) return false;
  s.remove_prefix(token.size());
  return true;
}

enum class Meridiem { kNone, kAm, kPm };

Meridiem ReadMeridiem(std::string_view& s) {
  for (auto [token, value] : {std::pair{std::string_view("AM"), Meridiem::kAm}, {"am", Meridiem::kAm},
                              {"PM", Meridiem::kPm}, {"pm", Meridiem::kPm}, {"上午", Meridiem::kAm},
                              {"下午", Meridiem::kPm}})
    if (Consume(s, token)) return value;
  return Meridiem::kNone;
}

}  // namespace

int DaysInMonth(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month == 2 && ((year % 4 == 0 && year % 100 != 0) || year % 400 == 0)) return 29;
  return kDays[month - 1];
}

std::string FormatListDate(const platform::CivilTime& t) {
  char buffer[40];
  if (t.hour == 0 && t.minute == 0 && t.second == 0)
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d", t.year, t.month, t.day);
  else
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
  return buffer;
}

std::optional<platform::CivilTime> ParseListDate(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);

  platform::CivilTime t;
  if (!ReadNumber(s, 4, 4, &t.year) || s.empty()) return std::nullopt;
  char separator = s.front();
  if (separator != '-' && separator != '/' && separator != '.') return std::nullopt;
  s.remove_prefix(1);
  if (!ReadNumber(s, 1, 2, &t.month) || !Consume(s, std::string_view(&separator, 1)) ||
      !ReadNumber(s, 1, 2, &t.day))
    return std::nullopt;
  if (t.year < 1601 || t.month < 1 || t.month > 12 || t.day < 1 || t.day > DaysInMonth(t.year, t.month))
    return std::nullopt;
  if (s.empty()) return t;

  if (!Consume(s, " ")) return std::nullopt;
  Meridiem meridiem = ReadMeridiem(s);
  if (meridiem != Meridiem::kNone) Consume(s, " ");
  if (!ReadNumber(s, 1, 2, &t.hour) || !Consume(s, ":") || !ReadNumber(s, 2, 2, &t.minute)) return std::nullopt;
  if (Consume(s, ":") && !ReadNumber(s, 2, 2, &t.second)) return std::nullopt;
  if (meridiem == Meridiem::kNone && !s.empty()) {
    Consume(s, " ");
    meridiem = ReadMeridiem(s);
    if (meridiem == Meridiem::kNone) return std::nullopt;
  }
  if (!s.empty()) return std::nullopt;

  if (meridiem != Meridiem::kNone) {
    if (t.hour < 1 || t.hour > 12) return std::nullopt;
    if (t.hour == 12) t.hour = 0;
    if (meridiem == Meridiem::kPm) t.hour += 12;
  }
  if (t.hour > 23 || t.minute > 59 || t.second > 59) return std::nullopt;
  return t;
}

}  // namespace vmrk
