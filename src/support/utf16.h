#pragma once

#include <string>
#include <string_view>

namespace qm {

// Text is UTF-8 inside the program; these convert at the edges where another form is fixed.
// Malformed input never fails: an invalid UTF-8 sequence or an unpaired surrogate becomes U+FFFD.

std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

// `bytes` read as UTF-8: valid text comes back unchanged, each malformed sequence becomes U+FFFD.
std::string ValidUtf8(std::string_view bytes);

// UTF-16LE as raw bytes, two bytes per code unit, without a byte-order mark.
std::string Utf8ToUtf16Le(std::string_view text);
// An odd trailing byte is ignored.
std::string Utf16LeToUtf8(std::string_view bytes);

// The single-byte code page (ISO-8859-1): every byte is the code point of the same value.
// Going the other way, a code point above 255 becomes "?".
std::string Latin1ToUtf8(std::string_view bytes);
std::string Utf8ToLatin1(std::string_view text);
// The same into Out, which has room for text.size() bytes (the most it can take); returns the
// bytes written.
std::size_t Utf8ToLatin1(std::string_view text, char* Out);

}  // namespace qm
