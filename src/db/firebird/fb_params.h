#pragma once

// The parameter buffers of the client library (database and transaction parameters from lines
// of "name=value") and the readers of its information replies. Pure byte work: nothing here
// calls the library.

#include <cstdint>
#include <string>

#include "support/text_utils.h"

namespace qm {

using TFBBuffer = std::string;  // raw bytes

// Completes a copy of connection parameter lines: user_name, password (when absent or given),
// sql_role_name, lc_ctype (when absent), then, with default_credentials only, "sysdba" and the
// default password when still absent.
TStrings SetConnectionDefaults(bool default_credentials, const std::string& user_name,
                               const std::string& password, const std::string& role,
                               const std::string& character_set, const TStrings& params);
inline constexpr const char* kFBDefaultUser = "sysdba";
inline constexpr const char* kFBDefaultPassword = "brightowl";

// The database parameter buffer. An unknown name raises "DPB Constant (%s) is unknown", a known
// one without an encoding "DPB Constant (isc_dpb_%s) is unsupported", a value longer than 255
// bytes "Parameter value of %s is longer than 255 bytes" (all EFBClientError).
TFBBuffer BuildDPB(const TStrings& params);
// The transaction parameter buffer; empty for no lines. Errors as BuildDPB with "TPB".
TFBBuffer BuildTPB(const TStrings& params);

// Information replies: items of a code byte, a 2-byte little-endian length and the value; the
// code 1 ends them.
//
// A zero-filled buffer of `size` bytes for the library's reply.
inline TFBBuffer FBInfoReply(std::size_t size) {
  return TFBBuffer(size, '\0');
}
// The position just after the code byte of the first item `code`, or -1.
int FindInfoItem(const TFBBuffer& reply, std::uint8_t code);
// The first 2 bytes (at most) of item `code`'s value as an integer; false when not found.
bool GetInfoValue(const TFBBuffer& reply, std::uint8_t code, std::int32_t& value);
// From a record-count reply (code 23): the count of sub-item `code`, or -1.
std::int64_t GetRecordsInfo(const TFBBuffer& reply, std::uint8_t code);
// A little-endian integer of 1 to 8 bytes.
std::int64_t FBPortableInteger(const char* bytes, int length);

}  // namespace qm
