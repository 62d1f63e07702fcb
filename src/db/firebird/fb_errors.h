#pragma once

// Errors of the Firebird driver: the exceptions, typed by cause under the database layer's
// (EFBError for a failed statement, EFBConnectionLost, EFBConnectFailed), the walk over a status
// vector and the numbered client-side messages.
//
// A status vector is the library's array of ISC_STATUS_LENGTH pointer-sized integers: items of a
// tag and its value slots, ended by the tag 0. Tag 1 (isc_arg_gds) carries an error code, tag 4
// (isc_arg_number) a number, tag 2 (isc_arg_string) a pointer to a zero-terminated text; tag 3
// (isc_arg_cstring) takes three slots, every other tag two.
//
// A message built from a status vector has these lines, joined by "\r\n": the text of the SQL
// code, the library's messages for the vector, and "sqlcode: <n>, fberrorcode: <n>".

#include <ibase.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>

#include "db/db_errors.h"
#include "support/exception.h"
#include "support/format.h"

namespace qm {

class TmncFBLib;

// What every error of the library carries: its SQL code (the neutral Code()), the Firebird
// error code and, where the library tells it, the SQLSTATE. `Cause` is the database layer's
// exception for why it failed (db/db_errors.h).
template <typename Cause>
class TFBErrorOf : public Cause {
 public:
  TFBErrorOf(std::int32_t sql_code, const std::string& message, std::string sql_state = {})
      : Cause(message, sql_code, std::move(sql_state)) {}
  TFBErrorOf(std::int32_t sql_code, std::int32_t error_code, const std::string& message,
             std::string sql_state = {})
      : Cause(message, sql_code, std::move(sql_state)), FErrorCode(error_code) {}
  std::int32_t SQLCode() const { return this->Code(); }
  std::int32_t ErrorCode() const { return FErrorCode; }

 private:
  std::int32_t FErrorCode = 0;
};

// A statement (or a transaction call) failed; the connection is still usable.
class EFBError : public TFBErrorOf<EmncSQLError> {
 public:
  using TFBErrorOf::TFBErrorOf;
};

// The server connection is gone (network errors, the attachment ended by the server).
class EFBConnectionLost : public TFBErrorOf<EmncConnectionLost> {
 public:
  using TFBErrorOf::TFBErrorOf;
};

// Attaching to the database failed (login, database, host, time-out, dialect).
class EFBConnectFailed : public TFBErrorOf<EmncConnectFailed> {
 public:
  using TFBErrorOf::TFBErrorOf;
};

// An exception raised by the database's own code (a procedure, a trigger): SQL code -836.
class EFBExceptionError : public EFBError {
 public:
  EFBExceptionError(std::int32_t sql_code, std::int32_t error_code, std::int32_t exception_id,
                    std::string exception_name, std::string exception_msg,
                    const std::string& message, std::string sql_state = {})
      : EFBError(sql_code, error_code, message, std::move(sql_state)),
        FExceptionID(exception_id),
        FExceptionName(std::move(exception_name)),
        FExceptionMsg(std::move(exception_msg)) {}
  std::int32_t ExceptionID() const { return FExceptionID; }
  const std::string& ExceptionName() const { return FExceptionName; }
  const std::string& ExceptionMsg() const { return FExceptionMsg; }

 private:
  std::int32_t FExceptionID;
  std::string FExceptionName;
  std::string FExceptionMsg;
};

// SQL code -551: no permission.
class EFBRoleError : public EFBError {
 public:
  using EFBError::EFBError;
};

// A client-side message; SQLCode is the message number.
class EFBClientError : public EFBError {
 public:
  using EFBError::EFBError;
};

// The numbers of the client messages the driver raises.
enum TFBClientMessage : std::int32_t {
  fbceUnknownError = 0,
  fbceUnsupportedFeature = 2,
  fbceNotPermitted = 3,
  fbceDPBConstantNotSupported = 9,
  fbceTPBConstantNotSupported = 11,
  fbceInvalidStatementHandle = 27,
  fbceUnknownSQLDataType = 32,
  fbceInvalidDataConversion = 35,
  fbceBlobCannotBeRead = 37,
  fbceBlobCannotBeWritten = 38,
  fbceDPBConstantUnknown = 110,
  fbceTPBConstantUnknown = 111,
  // Not in the library's table: a parameter value whose length does not fit the length byte.
  fbceParamValueTooLong = 112,
};

// The format of client message `number`; "" for a number the driver never raises.
std::string ClientMessageFormat(std::int32_t number);
// Raises EFBClientError with message `number` filled with `args` and SQLCode = number.
[[noreturn]] void RaiseClientError(std::int32_t number, std::initializer_list<FormatArg> args = {});

// The lines of a status-vector message: 1 = the code line, 2 = the library's messages, 4 = the
// text of the SQL code. All three are set.
enum : int { fbrCodeLine = 1, fbrMessages = 2, fbrSQLText = 4 };
inline constexpr int FBErrorReport = fbrCodeLine | fbrMessages | fbrSQLText;

// True when an error-code or number item of the vector equals one of `codes`.
bool StatusHasCode(const ISC_STATUS* status, std::initializer_list<ISC_STATUS> codes);
// The n-th (from 0) number item, or 0.
ISC_STATUS StatusNumberArg(const ISC_STATUS* status, int n);
// The n-th (from 0) text item, or "".
std::string StatusStringArg(const ISC_STATUS* status, int n);
// The error code of the vector: its second slot when the first is the tag 1, else 0.
std::int32_t StatusErrorCode(const ISC_STATUS* status);

// The vector shows that the server connection is gone: a network error, or the attachment
// ended by the server ("connection shutdown"), which is as lost as a broken socket.
bool IsConnectionLost(const ISC_STATUS* status);
// The SQLSTATE of the vector, "" when the library does not tell.
std::string StatusSQLState(TmncFBLib& lib, const ISC_STATUS* status);

// The message for a status vector through `lib`.
std::string StatusMessage(TmncFBLib& lib, const ISC_STATUS* status);
// Raises the exception the vector describes: EFBConnectionLost when it shows a lost
// connection, else by SQL code (-836 EFBExceptionError, -551 EFBRoleError, else EFBError).
[[noreturn]] void RaiseFBError(TmncFBLib& lib, const ISC_STATUS* status);
// Raises EFBConnectFailed for a failed attach, the message prefixed by `prefix`.
[[noreturn]] void RaiseFBConnectError(TmncFBLib& lib, const ISC_STATUS* status,
                                      const std::string& prefix = std::string());
// Returns `result`; raises when `raise_error` and `result` is above 0.
ISC_STATUS CheckFBStatus(TmncFBLib& lib, ISC_STATUS result, const ISC_STATUS* status,
                         bool raise_error = true);

// A zero-filled status vector for one call.
struct TFBStatus {
  ISC_STATUS_ARRAY Vector = {};
  ISC_STATUS* Data() { return Vector; }
  const ISC_STATUS* Data() const { return Vector; }
};

}  // namespace qm
