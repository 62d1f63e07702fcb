#include "db/firebird/fb_errors.h"

#include <cstring>
#include <utility>
#include <vector>

#include "db/firebird/fb_api.h"

namespace qm {
namespace {

// Visits every item of the vector: fn(tag, first value slot); stops at the end tag or at the
// end of the array, or when fn returns true.
template <typename Fn>
void WalkStatus(const ISC_STATUS* status, Fn fn) {
  int i = 0;
  while (i < ISC_STATUS_LENGTH && status[i] != isc_arg_end) {
    const ISC_STATUS tag = status[i];
    const ISC_STATUS value = i + 1 < ISC_STATUS_LENGTH ? status[i + 1] : 0;
    if (fn(tag, value))
      return;
    i += tag == isc_arg_cstring ? 3 : 2;
  }
}

}  // namespace

std::string ClientMessageFormat(std::int32_t number) {
  switch (number) {
    case fbceUnknownError:
      return "Unknown error";
    case fbceUnsupportedFeature:
      return "Unsupported feature";
    case fbceNotPermitted:
      return "Not permitted";
    case fbceDPBConstantNotSupported:
      return "DPB Constant (isc_dpb_%s) is unsupported";
    case fbceTPBConstantNotSupported:
      return "TPB Constant (isc_tpb_%s) is unsupported";
    case fbceInvalidStatementHandle:
      return "Invalid statement handle";
    case fbceUnknownSQLDataType:
      return "Unknown SQL Data type (%d)";
    case fbceInvalidDataConversion:
      return "Invalid data conversion";
    case fbceBlobCannotBeRead:
      return "Blob stream cannot be read";
    case fbceBlobCannotBeWritten:
      return "Blob stream cannot be written";
    case fbceDPBConstantUnknown:
      return "DPB Constant (%s) is unknown";
    case fbceTPBConstantUnknown:
      return "TPB Constant (%s) is unknown";
    case fbceParamValueTooLong:
      return "Parameter value of %s is longer than 255 bytes";
    default:
      return std::string();
  }
}

void RaiseClientError(std::int32_t number, std::initializer_list<FormatArg> args) {
  throw EFBClientError(number, Format(ClientMessageFormat(number), args));
}

bool StatusHasCode(const ISC_STATUS* status, std::initializer_list<ISC_STATUS> codes) {
  bool found = false;
  WalkStatus(status, [&](ISC_STATUS tag, ISC_STATUS value) {
    if (tag == isc_arg_gds || tag == isc_arg_number) {
      for (ISC_STATUS code : codes)
        found = found || value == code;
    }
    return found;
  });
  return found;
}

ISC_STATUS StatusNumberArg(const ISC_STATUS* status, int n) {
  ISC_STATUS result = 0;
  WalkStatus(status, [&](ISC_STATUS tag, ISC_STATUS value) {
    if (tag != isc_arg_number)
      return false;
    if (n-- > 0)
      return false;
    result = value;
    return true;
  });
  return result;
}

std::string StatusStringArg(const ISC_STATUS* status, int n) {
  std::string result;
  WalkStatus(status, [&](ISC_STATUS tag, ISC_STATUS value) {
    if (tag != isc_arg_string)
      return false;
    if (n-- > 0)
      return false;
    if (const char* text = reinterpret_cast<const char*>(value))
      result = text;
    return true;
  });
  return result;
}

std::int32_t StatusErrorCode(const ISC_STATUS* status) {
  return status[0] == isc_arg_gds ? static_cast<std::int32_t>(status[1]) : 0;
}

std::string StatusMessage(TmncFBLib& lib, const ISC_STATUS* status) {
  const std::int32_t sql_code =
      lib.isc_sqlcode != nullptr ? lib.isc_sqlcode(status) : static_cast<std::int32_t>(-999);
  std::string message;
  auto add_line = [&message](const std::string& line) {
    if (!message.empty())
      message += "\r\n";
    message += line;
  };
  if ((FBErrorReport & fbrSQLText) != 0 && sql_code != -999 && lib.isc_sql_interprete != nullptr) {
    std::vector<char> buffer(20480, '\0');
    lib.isc_sql_interprete(static_cast<short>(sql_code), buffer.data(),
                           static_cast<short>(buffer.size() - 1));
    add_line(buffer.data());
  }
  if ((FBErrorReport & fbrMessages) != 0 && lib.fb_interpret != nullptr) {
    // fb_interpret is the bounded form of the library's message walk.
    std::vector<char> buffer(4096, '\0');
    const ISC_STATUS* cursor = status;
    while (lib.fb_interpret(buffer.data(), static_cast<unsigned>(buffer.size()), &cursor) > 0)
      add_line(buffer.data());
  }
  if ((FBErrorReport & fbrCodeLine) != 0)
    add_line(Format("sqlcode: %d, fberrorcode: %d", {sql_code, StatusErrorCode(status)}));
  return message;
}

bool IsConnectionLost(const ISC_STATUS* status) {
  return StatusHasCode(status, {isc_lost_db_connection, isc_net_read_err, isc_net_write_err,
                                isc_network_error, isc_att_shutdown, isc_shutdown});
}

std::string StatusSQLState(TmncFBLib& lib, const ISC_STATUS* status) {
  if (lib.fb_sqlstate == nullptr)
    return std::string();
  char state[FB_SQLSTATE_SIZE] = {};
  lib.fb_sqlstate(state, status);
  return std::string(state, ::strnlen(state, sizeof state));
}

namespace {

std::int32_t StatusSQLCode(TmncFBLib& lib, const ISC_STATUS* status) {
  return lib.isc_sqlcode != nullptr ? lib.isc_sqlcode(status) : static_cast<std::int32_t>(-999);
}

}  // namespace

void RaiseFBError(TmncFBLib& lib, const ISC_STATUS* status) {
  const std::int32_t sql_code = StatusSQLCode(lib, status);
  const std::int32_t error_code = StatusErrorCode(status);
  const std::string message = StatusMessage(lib, status);
  std::string sql_state = StatusSQLState(lib, status);
  if (IsConnectionLost(status))
    throw EFBConnectionLost(sql_code, error_code, message, std::move(sql_state));
  if (sql_code == -836)
    throw EFBExceptionError(
        sql_code, error_code, static_cast<std::int32_t>(StatusNumberArg(status, 0)),
        StatusStringArg(status, 0), StatusStringArg(status, 1), message, std::move(sql_state));
  if (sql_code == -551)
    throw EFBRoleError(sql_code, error_code, message, std::move(sql_state));
  throw EFBError(sql_code, error_code, message, std::move(sql_state));
}

void RaiseFBConnectError(TmncFBLib& lib, const ISC_STATUS* status, const std::string& prefix) {
  throw EFBConnectFailed(StatusSQLCode(lib, status), StatusErrorCode(status),
                         prefix + StatusMessage(lib, status), StatusSQLState(lib, status));
}

ISC_STATUS CheckFBStatus(TmncFBLib& lib, ISC_STATUS result, const ISC_STATUS* status,
                         bool raise_error) {
  if (raise_error && result > 0)
    RaiseFBError(lib, status);
  return result;
}

}  // namespace qm
