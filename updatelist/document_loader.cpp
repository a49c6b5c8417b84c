#include "updatelist/document_loader.h"

#include "platform/codepage.h"
#include "platform/files.h"
#include "updatelist/rtf_reader.h"
#include "updatelist/utf8.h"

namespace vmrk {
namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr int kGbk = 936;

}  // namespace

std::string PlainTextOf(std::string_view bytes) {
  if (bytes.substr(0, kUtf8Bom.size()) == kUtf8Bom) bytes.remove_prefix(kUtf8Bom.size());
  if (IsValidUtf8(bytes)) return std::string(bytes);
  std::string text;
  if (platform::DecodeCodePage(kGbk, bytes, &text)) return text;
  // No converter at all: keep what is readable rather than fail the file.
  return CodePointsToUtf8(Utf8ToCodePoints(bytes));
}

Result<std::string> LoadDocumentText(const std::string& path) {
  std::string bytes;
  Status read = platform::ReadWholeFile(path, &bytes);
  if (!read.ok()) return read;
  return DocumentTextOf(bytes);
}

Result<std::string> DocumentTextOf(std::string_view bytes) {
  if (LooksLikeRtf(bytes)) return RtfToPlainText(bytes);
  return PlainTextOf(bytes);
}

}  // namespace vmrk
