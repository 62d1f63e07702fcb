#include "db/firebird/fb_params.h"

#include <ibase.h>

#include <algorithm>
#include <array>
#include <string_view>

#include "db/firebird/fb_errors.h"
#include "db/string_list.h"
#include "support/number_text.h"

namespace qm {
namespace {

// The database-parameter names of the client API for the codes 1 to 96 (index = code).
constexpr std::array<std::string_view, 97> kDPBNames = {
    "",
    "cdd_pathname",
    "allocation",
    "journal",
    "page_size",
    "num_buffers",
    "buffer_length",
    "debug",
    "garbage_collect",
    "verify",
    "sweep",
    "enable_journal",
    "disable_journal",
    "dbkey_scope",
    "number_of_users",
    "trace",
    "no_garbage_collect",
    "damaged",
    "license",
    "sys_user_name",
    "encrypt_key",
    "activate_shadow",
    "sweep_interval",
    "delete_shadow",
    "force_write",
    "begin_log",
    "quit_log",
    "no_reserve",
    "user_name",
    "password",
    "password_enc",
    "sys_user_name_enc",
    "interp",
    "online_dump",
    "old_file_size",
    "old_num_files",
    "old_file",
    "old_start_page",
    "old_start_seqno",
    "old_start_file",
    "drop_walfile",
    "old_dump_id",
    "wal_backup_dir",
    "wal_chkptlen",
    "wal_numbufs",
    "wal_bufsize",
    "wal_grp_cmt_wait",
    "lc_messages",
    "lc_ctype",
    "cache_manager",
    "shutdown",
    "online",
    "shutdown_delay",
    "reserved",
    "overwrite",
    "sec_attach",
    "disable_wal",
    "connect_timeout",
    "dummy_packet_interval",
    "gbak_attach",
    "sql_role_name",
    "set_page_buffers",
    "working_directory",
    "sql_dialect",
    "set_db_readonly",
    "set_db_sql_dialect",
    "gfix_attach",
    "gstat_attach",
    "set_db_charset",
    "gsec_attach",
    "address_path",
    "process_id",
    "no_db_triggers",
    "trusted_auth",
    "process_name",
    "trusted_role",
    "org_filename",
    "utf8_filename",
    "ext_call_depth",
    "auth_block",
    "client_version",
    "remote_protocol",
    "host_name",
    "os_user",
    "specific_auth_data",
    "auth_plugin_list",
    "auth_plugin_name",
    "config",
    "nolinger",
    "reset_icu",
    "map_attach",
    "session_time_zone",
    "set_db_replica",
    "set_bind",
    "decfloat_round",
    "decfloat_traps",
    "clear_map",
};

// The transaction-parameter names for the codes 1 to 23 (index = code).
constexpr std::array<std::string_view, 24> kTPBNames = {
    "",
    "consistency",
    "concurrency",
    "shared",
    "protected",
    "exclusive",
    "wait",
    "nowait",
    "read",
    "write",
    "lock_read",
    "lock_write",
    "verb_time",
    "commit_time",
    "ignore_limbo",
    "read_committed",
    "autocommit",
    "rec_version",
    "no_rec_version",
    "restart_requests",
    "no_auto_undo",
    "lock_timeout",
    "read_consistency",
    "at_snapshot_number",
};

template <std::size_t N>
int CodeOf(const std::array<std::string_view, N>& names, std::string_view name) {
  for (std::size_t i = 1; i < N; ++i) {
    if (names[i] == name)
      return static_cast<int>(i);
  }
  return -1;
}

std::string WithoutPrefix(std::string name, std::string_view prefix) {
  if (name.compare(0, prefix.size(), prefix) == 0)
    name.erase(0, prefix.size());
  return name;
}

// A decimal integer; the platform's conversion error for anything else.
std::int64_t DecimalValue(const std::string& text) {
  std::int64_t value = 0;
  if (!TryStrToInt64(Trim(text), value))
    throw EConvertError("'" + text + "' is not a valid integer value");
  return value;
}

// The code, the value's length byte and the value; a value that does not fit the length byte
// is refused rather than written with a wrong length.
void AppendCounted(TFBBuffer& buffer, int code, const std::string& value, std::string_view name) {
  if (value.size() > 255)
    RaiseClientError(fbceParamValueTooLong, {std::string(name)});
  buffer += static_cast<char>(code);
  buffer += static_cast<char>(value.size());
  buffer += value;
}

}  // namespace

TStrings SetConnectionDefaults(bool default_credentials, const std::string& user_name,
                               const std::string& password, const std::string& role,
                               const std::string& character_set, const TStrings& params) {
  TmncStringList list;
  list.Assign(params);
  auto missing = [&list](std::string_view name) { return list.IndexOfName(name) < 0; };
  if (missing("user_name") || !user_name.empty())
    list.SetValues("user_name", user_name);
  if (missing("password") || !password.empty())
    list.SetValues("password", password);
  if (missing("sql_role_name"))
    list.SetValues("sql_role_name", role);
  if (missing("lc_ctype"))
    list.SetValues("lc_ctype", character_set);
  if (!default_credentials)
    return list.Lines();
  if (missing("user_name"))
    list.SetValues("user_name", kFBDefaultUser);
  if (missing("password"))
    list.SetValues("password", kFBDefaultPassword);
  return list.Lines();
}

TFBBuffer BuildDPB(const TStrings& params) {
  TFBBuffer buffer;
  buffer.reserve(512);
  buffer += static_cast<char>(isc_dpb_version1);
  for (const std::string& line : params) {
    const std::size_t eq = line.find('=');
    const std::string raw_name = line.substr(0, eq);
    if (Trim(raw_name).empty())
      continue;
    const std::string name = WithoutPrefix(LowerCase(raw_name), "isc_dpb_");
    std::string value = eq == std::string::npos ? std::string() : line.substr(eq + 1);
    const int code = CodeOf(kDPBNames, name);
    switch (code) {
      case 5:   // num_buffers
      case 9:   // verify
      case 13:  // dbkey_scope
      case 17:  // damaged
      case 24:  // force_write
      case 27:  // no_reserve
        buffer += static_cast<char>(code);
        buffer += '\1';
        buffer += static_cast<char>(DecimalValue(value) & 0xFF);
        break;
      case 10:  // sweep
        buffer += std::string("\x0A\x01\x02", 3);
        break;
      case 63:  // sql_dialect: the first character becomes its digit value
        if (!value.empty())
          value[0] = static_cast<char>(value[0] - '0');
        AppendCounted(buffer, code, value, name);
        break;
      case 18:
      case 19:
      case 20:
      case 28:
      case 29:
      case 30:
      case 47:
      case 48:
      case 60:
      case 68:
        AppendCounted(buffer, code, value, name);
        break;
      case 21:
      case 23:
      case 25:
      case 26:
        buffer += static_cast<char>(code);
        buffer += std::string("\x01\x00", 2);
        break;
      case 22: {  // sweep_interval: 4 bytes, least significant first
        const auto number = static_cast<std::uint32_t>(DecimalValue(value));
        buffer += static_cast<char>(code);
        buffer += '\4';
        for (int i = 0; i < 4; ++i)
          buffer += static_cast<char>((number >> (8 * i)) & 0xFF);
        break;
      }
      case -1:
        RaiseClientError(fbceDPBConstantUnknown, {raw_name});
      default:
        RaiseClientError(fbceDPBConstantNotSupported, {std::string(kDPBNames[code])});
    }
  }
  return buffer;
}

TFBBuffer BuildTPB(const TStrings& params) {
  TFBBuffer buffer;
  if (params.empty())
    return buffer;
  buffer += static_cast<char>(isc_tpb_version3);
  for (const std::string& raw : params) {
    const std::string line = Trim(raw);
    if (line.empty())
      continue;
    const std::size_t eq = line.find('=');
    const std::string raw_name = eq == std::string::npos ? line : line.substr(0, eq);
    const std::string value = eq == std::string::npos ? std::string() : line.substr(eq + 1);
    const std::string name = WithoutPrefix(LowerCase(raw_name), "isc_tpb_");
    const int code = CodeOf(kTPBNames, name);
    switch (code) {
      case 10:
      case 11:
      case 21:
        AppendCounted(buffer, code, value, name);
        break;
      case 12:
      case 13:
      case 16:
      case 22:
      case 23:
        RaiseClientError(fbceTPBConstantNotSupported, {std::string(kTPBNames[code])});
      case -1: {
        // Named as the list names the line: the text before "=", empty without one.
        const std::size_t raw_eq = raw.find('=');
        RaiseClientError(fbceTPBConstantUnknown,
                         {raw_eq == std::string::npos ? std::string() : raw.substr(0, raw_eq)});
      }
      default:
        buffer += static_cast<char>(code);
    }
  }
  return buffer;
}

std::int64_t FBPortableInteger(const char* bytes, int length) {
  std::uint64_t value = 0;
  for (int i = 0; i < length && i < 8; ++i)
    value |= static_cast<std::uint64_t>(static_cast<std::uint8_t>(bytes[i])) << (8 * i);
  if (length > 0 && length < 8 && (static_cast<std::uint8_t>(bytes[length - 1]) & 0x80) != 0)
    value |= ~std::uint64_t{0} << (8 * length);  // sign extension
  return static_cast<std::int64_t>(value);
}

int FindInfoItem(const TFBBuffer& reply, std::uint8_t code) {
  std::size_t pos = 0;
  while (pos < reply.size() && static_cast<std::uint8_t>(reply[pos]) != isc_info_end) {
    if (static_cast<std::uint8_t>(reply[pos]) == code)
      return static_cast<int>(pos + 1);
    if (pos + 3 > reply.size())
      break;
    pos += 3 + static_cast<std::size_t>(FBPortableInteger(reply.data() + pos + 1, 2) & 0xFFFF);
  }
  return -1;
}

bool GetInfoValue(const TFBBuffer& reply, std::uint8_t code, std::int32_t& value) {
  value = 0;
  const int pos = FindInfoItem(reply, code);
  if (pos < 0 || static_cast<std::size_t>(pos) + 2 > reply.size())
    return false;
  const int length = static_cast<int>(FBPortableInteger(reply.data() + pos, 2) & 0xFFFF);
  const int size = std::min({length, 2, static_cast<int>(reply.size()) - pos - 2});
  value = static_cast<std::int32_t>(FBPortableInteger(reply.data() + pos + 2, size));
  return true;
}

std::int64_t GetRecordsInfo(const TFBBuffer& reply, std::uint8_t code) {
  if (reply.empty() || static_cast<std::uint8_t>(reply[0]) != isc_info_sql_records)
    return -1;
  std::size_t pos = 3;
  while (pos + 3 <= reply.size() && static_cast<std::uint8_t>(reply[pos]) != isc_info_end) {
    const std::uint8_t item = static_cast<std::uint8_t>(reply[pos]);
    const int length = static_cast<int>(FBPortableInteger(reply.data() + pos + 1, 2) & 0xFFFF);
    if (pos + 3 + static_cast<std::size_t>(length) > reply.size())
      break;
    if (item == code)
      return FBPortableInteger(reply.data() + pos + 3, length);
    pos += 3 + static_cast<std::size_t>(length);
  }
  return -1;
}

}  // namespace qm
