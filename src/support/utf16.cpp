#include "support/utf16.h"

#include <cstdint>

namespace qm {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one code point at `pos`, advancing it; malformed sequences give U+FFFD and consume
// one byte, so decoding always makes progress.
char32_t DecodeUtf8(std::string_view text, std::size_t& pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  if (lead < 0x80) {
    ++pos;
    return lead;
  }
  int length = 0;
  char32_t cp = 0;
  char32_t min = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, cp = lead & 0x1F, min = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, cp = lead & 0x0F, min = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, cp = lead & 0x07, min = 0x10000;
  } else {
    ++pos;
    return kReplacement;
  }
  if (pos + length > text.size()) {
    ++pos;
    return kReplacement;
  }
  for (int i = 1; i < length; ++i) {
    const unsigned char next = byte(pos + i);
    if ((next & 0xC0) != 0x80) {
      ++pos;
      return kReplacement;
    }
    cp = (cp << 6) | (next & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++pos;
    return kReplacement;
  }
  pos += length;
  return cp;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

template <typename NextUnit>
std::string DecodeUtf16(std::size_t count, NextUnit unit) {
  // Header and value text is mostly ASCII: those units are written straight into a string sized
  // for them, and only the rest goes through the code point path.
  std::string out(count, '\0');
  std::size_t i = 0;
  for (; i < count; ++i) {
    const char16_t u = unit(i);
    if (u >= 0x80) {
      break;
    }
    out[i] = static_cast<char>(u);
  }
  if (i == count) {
    return out;
  }
  out.resize(i);
  out.reserve(count + (count - i) * 2);
  for (; i < count; ++i) {
    const char16_t u = unit(i);
    if (u < 0x80) {
      out.push_back(static_cast<char>(u));
      continue;
    }
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < count) {
      const char16_t low = unit(i + 1);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        AppendUtf8(out, 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (low - 0xDC00));
        ++i;
        continue;
      }
    }
    AppendUtf8(out, (u >= 0xD800 && u <= 0xDFFF) ? kReplacement : u);
  }
  return out;
}

// Calls emit(unit) for each UTF-16 unit of UTF-8 text.
template <typename Emit>
void EncodeUtf16(std::string_view text, Emit emit) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    const auto lead = static_cast<unsigned char>(text[pos]);
    if (lead < 0x80) {
      emit(static_cast<char16_t>(lead));
      ++pos;
      continue;
    }
    const char32_t cp = DecodeUtf8(text, pos);
    if (cp >= 0x10000) {
      emit(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      emit(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      emit(static_cast<char16_t>(cp));
    }
  }
}

// Length of the ASCII start of text.
std::size_t AsciiPrefix(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && static_cast<unsigned char>(text[i]) < 0x80) {
    ++i;
  }
  return i;
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  EncodeUtf16(text, [&out](char16_t u) { out.push_back(u); });
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  return DecodeUtf16(text.size(), [&](std::size_t i) { return text[i]; });
}

std::string ValidUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t pos = 0;
  while (pos < bytes.size())
    AppendUtf8(out, DecodeUtf8(bytes, pos));
  return out;
}

std::string Utf8ToUtf16Le(std::string_view text) {
  // Every UTF-8 byte gives at most one UTF-16 unit (four bytes give two), so twice the input
  // length is room enough; ASCII text fills exactly that.
  std::string out(text.size() * 2, '\0');
  const std::size_t ascii = AsciiPrefix(text);
  char* at = out.data();
  for (std::size_t i = 0; i < ascii; ++i) {
    at[2 * i] = text[i];
  }
  at += 2 * ascii;
  EncodeUtf16(text.substr(ascii), [&at](char16_t u) {
    at[0] = static_cast<char>(u & 0xFF);
    at[1] = static_cast<char>(u >> 8);
    at += 2;
  });
  out.resize(static_cast<std::size_t>(at - out.data()));
  return out;
}

std::string Utf16LeToUtf8(std::string_view bytes) {
  return DecodeUtf16(bytes.size() / 2, [&](std::size_t i) {
    return static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                 (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  });
}

std::string Latin1ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (char c : bytes)
    AppendUtf8(out, static_cast<unsigned char>(c));
  return out;
}

std::string Utf8ToLatin1(std::string_view text) {
  std::string out(text.size(), '\0');
  out.resize(Utf8ToLatin1(text, out.data()));
  return out;
}

std::size_t Utf8ToLatin1(std::string_view text, char* Out) {
  std::size_t written = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const char32_t cp = DecodeUtf8(text, pos);
    Out[written++] = cp <= 0xFF ? static_cast<char>(cp) : '?';
  }
  return written;
}

}  // namespace qm
