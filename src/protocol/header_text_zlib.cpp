#include "protocol/header_text_zlib.h"

#include "support/buffer.h"

namespace qm {

namespace {

// Larger texts are rare (long statements, many fields) and zlib's pass is then a smaller share
// of their cost than keeping them would be worth.
constexpr std::size_t kMaxKept = 16 * 1024;

// One text in both forms.
struct TKeptText {
  std::string Plain;
  std::string Compressed;
};

void Keep(TKeptText& Kept, std::string_view Plain, std::string_view Compressed) {
  if (Plain.size() > kMaxKept || Compressed.size() > kMaxKept)
    return;
  Kept.Plain.assign(Plain);
  Kept.Compressed.assign(Compressed);
}

}  // namespace

std::string CompressHeaderText(std::string_view Text) {
  thread_local TKeptText last;
  if (!last.Plain.empty() && Text == last.Plain)
    return last.Compressed;
  std::string compressed = ZCompress(Text);
  Keep(last, Text, compressed);
  return compressed;
}

std::string InflateHeaderText(std::string_view Compressed, std::uint64_t MaxBytes) {
  thread_local TKeptText last;
  if (!last.Compressed.empty() && Compressed == last.Compressed && last.Plain.size() <= MaxBytes)
    return last.Plain;
  TprmBuffer text;
  text.DecompressLimited(reinterpret_cast<const std::uint8_t*>(Compressed.data()),
                         static_cast<std::int64_t>(Compressed.size()), MaxBytes);
  std::string plain(text.View());
  Keep(last, plain, Compressed);
  return plain;
}

}  // namespace qm
