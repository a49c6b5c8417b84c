#include <windows.h>

#include "platform/codepage.h"
#include "platform/win32/utf16_win.h"

namespace vmrk::platform {

namespace {

bool DecodeStrictly(UINT codePage, const char* bytes, int length, std::wstring* wide) {
  int n = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes, length, nullptr, 0);
  if (n <= 0) return false;
  size_t at = wide->size();
  wide->resize(at + static_cast<size_t>(n));
  MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes, length, wide->data() + at, n);
  return true;
}

}  // namespace

bool DecodeCodePage(int codePage, std::string_view bytes, std::string* utf8) {
  utf8->clear();
  const UINT cp = static_cast<UINT>(codePage);
  if (!IsValidCodePage(cp)) return false;
  if (bytes.empty()) return true;
  std::wstring wide;
  if (!DecodeStrictly(cp, bytes.data(), static_cast<int>(bytes.size()), &wide)) {
    // Left to itself the system turns a byte that forms no character into
    // "?", the list's own separator. Go character by character instead and
    // put U+FFFD where one fails.
    wide.clear();
    for (size_t i = 0; i < bytes.size();) {
      bool lead = IsDBCSLeadByteEx(cp, static_cast<BYTE>(bytes[i])) && i + 1 < bytes.size();
      if (lead && DecodeStrictly(cp, bytes.data() + i, 2, &wide)) {
        i += 2;
      } else if (!lead && DecodeStrictly(cp, bytes.data() + i, 1, &wide)) {
        i += 1;
      } else {
        wide += L'\xFFFD';
        i += 1;
      }
    }
  }
  *utf8 = Narrow(wide);
  return true;
}

bool EncodeCodePage(int codePage, std::string_view utf8, std::string* out) {
  out->clear();
  if (!IsValidCodePage(static_cast<UINT>(codePage))) return false;
  std::wstring wide = Widen(utf8);
  if (wide.empty()) return true;
  BOOL usedDefault = FALSE;
  // No best fit: a character the code page lacks must fail, not turn into a
  // look-alike (or into "?", the list's separator).
  int n = WideCharToMultiByte(static_cast<UINT>(codePage), WC_NO_BEST_FIT_CHARS, wide.data(),
                              static_cast<int>(wide.size()), nullptr, 0, nullptr, &usedDefault);
  if (n <= 0 || usedDefault) return false;
  out->resize(static_cast<size_t>(n));
  WideCharToMultiByte(static_cast<UINT>(codePage), WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()),
                      out->data(), n, nullptr, &usedDefault);
  return !usedDefault;
}

}  // namespace vmrk::platform
