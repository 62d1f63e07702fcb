#pragma once

// TmncPGLib: the binding over the PostgreSQL client library ("libpq.so.5"), loaded at run time.
// The library's own header gives the types and constants; every call goes through the entry
// points bound here, never through the linker.
//
// Thread-safety: the process-wide binding may be shared between threads; loading is serialised
// by TmnLibrary's lock, and the entry points do not change after the first load.

// The headers live under postgresql/ (no include path of their own is needed).
#include <postgresql/libpq-fe.h>

#include <cstdint>
#include <memory>
#include <string>

#include "transport/library.h"

namespace qm {

// Result statuses in the library's order.
enum TExecStatusType : int {
  PGRES_EMPTY_QUERY_ = 0,
  PGRES_COMMAND_OK_,
  PGRES_TUPLES_OK_,
  PGRES_COPY_OUT_,
  PGRES_COPY_IN_,
  PGRES_BAD_RESPONSE_,
  PGRES_NONFATAL_ERROR_,
  PGRES_FATAL_ERROR_,
  PGRES_COPY_BOTH_,
  PGRES_SINGLE_TUPLE_,
  PGRES_PIPELINE_SYNC_,
  PGRES_PIPELINE_ABORTED_,
  PGRES_TUPLES_CHUNK_,
};

// Large-object open modes.
constexpr int INV_WRITE_MODE = 0x20000;
constexpr int INV_READ_MODE = 0x40000;
constexpr int INV_READ_WRITE_MODE = 0x60000;

using PPGconn = PGconn*;
using PPGresult = PGresult*;

// The entry points the driver calls without a check: a library that lacks one fails to load.
// clang-format off
#define QM_PG_REQUIRED_ENTRY_POINTS(X) \
  X(PQconnectStart) \
  X(PQconnectStartParams) \
  X(PQconnectPoll) \
  X(PQfinish) \
  X(PQreset) \
  X(PQgetCancel) \
  X(PQfreeCancel) \
  X(PQcancel) \
  X(PQstatus) \
  X(PQtransactionStatus) \
  X(PQerrorMessage) \
  X(PQsocket) \
  X(PQsetNoticeProcessor) \
  X(PQexec) \
  X(PQprepare) \
  X(PQexecPrepared) \
  X(PQsendQuery) \
  X(PQsendQueryParams) \
  X(PQsendPrepare) \
  X(PQsendQueryPrepared) \
  X(PQsetSingleRowMode) \
  X(PQgetResult) \
  X(PQisBusy) \
  X(PQconsumeInput) \
  X(PQnotifies) \
  X(PQresultStatus) \
  X(PQresultErrorMessage) \
  X(PQntuples) \
  X(PQnfields) \
  X(PQfname) \
  X(PQftype) \
  X(PQfsize) \
  X(PQcmdTuples) \
  X(PQgetvalue) \
  X(PQgetlength) \
  X(PQgetisnull) \
  X(PQclear) \
  X(PQfreemem) \
  X(lo_open) \
  X(lo_close) \
  X(lo_read) \
  X(lo_write) \
  X(lo_creat) \
  X(lo_create) \
  X(lo_unlink)

// Looked up, but a library without them still loads: the driver calls these only after
// checking them (PQsetdbLogin; PQescapeStringConn) or not at all.
#define QM_PG_OPTIONAL_ENTRY_POINTS(X) \
  X(PQconnectdb) \
  X(PQconnectdbParams) \
  X(PQsetdbLogin) \
  X(PQconndefaults) \
  X(PQconninfoParse) \
  X(PQconninfo) \
  X(PQconninfoFree) \
  X(PQresetStart) \
  X(PQresetPoll) \
  X(PQrequestCancel) \
  X(PQdb) \
  X(PQuser) \
  X(PQpass) \
  X(PQhost) \
  X(PQhostaddr) \
  X(PQport) \
  X(PQtty) \
  X(PQoptions) \
  X(PQparameterStatus) \
  X(PQprotocolVersion) \
  X(PQserverVersion) \
  X(PQbackendPID) \
  X(PQpipelineStatus) \
  X(PQconnectionNeedsPassword) \
  X(PQconnectionUsedPassword) \
  X(PQclientEncoding) \
  X(PQsetClientEncoding) \
  X(PQsslInUse) \
  X(PQsslStruct) \
  X(PQsslAttribute) \
  X(PQsslAttributeNames) \
  X(PQgetssl) \
  X(PQinitSSL) \
  X(PQinitOpenSSL) \
  X(PQgssEncInUse) \
  X(PQgetgssctx) \
  X(PQsetErrorVerbosity) \
  X(PQsetErrorContextVisibility) \
  X(PQsetNoticeReceiver) \
  X(PQregisterThreadLock) \
  X(PQtrace) \
  X(PQuntrace) \
  X(PQsetTraceFlags) \
  X(PQexecParams) \
  X(PQenterPipelineMode) \
  X(PQexitPipelineMode) \
  X(PQpipelineSync) \
  X(PQsendFlushRequest) \
  X(PQputCopyData) \
  X(PQputCopyEnd) \
  X(PQgetCopyData) \
  X(PQgetline) \
  X(PQputline) \
  X(PQgetlineAsync) \
  X(PQputnbytes) \
  X(PQendcopy) \
  X(PQsetnonblocking) \
  X(PQisnonblocking) \
  X(PQisthreadsafe) \
  X(PQping) \
  X(PQpingParams) \
  X(PQflush) \
  X(PQfn) \
  X(PQresStatus) \
  X(PQresultVerboseErrorMessage) \
  X(PQresultErrorField) \
  X(PQbinaryTuples) \
  X(PQfnumber) \
  X(PQftable) \
  X(PQftablecol) \
  X(PQfformat) \
  X(PQfmod) \
  X(PQcmdStatus) \
  X(PQoidStatus) \
  X(PQoidValue) \
  X(PQnparams) \
  X(PQparamtype) \
  X(PQdescribePrepared) \
  X(PQdescribePortal) \
  X(PQsendDescribePrepared) \
  X(PQsendDescribePortal) \
  X(PQmakeEmptyPGresult) \
  X(PQcopyResult) \
  X(PQsetResultAttrs) \
  X(PQresultAlloc) \
  X(PQresultMemorySize) \
  X(PQsetvalue) \
  X(PQescapeStringConn) \
  X(PQescapeLiteral) \
  X(PQescapeIdentifier) \
  X(PQescapeByteaConn) \
  X(PQunescapeBytea) \
  X(PQescapeString) \
  X(PQescapeBytea) \
  X(PQprint) \
  X(PQdisplayTuples) \
  X(PQprintTuples) \
  X(lo_lseek) \
  X(lo_lseek64) \
  X(lo_tell) \
  X(lo_tell64) \
  X(lo_truncate) \
  X(lo_truncate64) \
  X(lo_import) \
  X(lo_import_with_oid) \
  X(lo_export) \
  X(PQlibVersion) \
  X(PQmblen) \
  X(PQmblenBounded) \
  X(PQdsplen) \
  X(PQencryptPassword) \
  X(PQencryptPasswordConn) \
  X(pg_char_to_encoding) \
  X(pg_encoding_to_char) \
  X(pg_valid_server_encoding_id) \
  X(PQgetSSLKeyPassHook_OpenSSL) \
  X(PQsetSSLKeyPassHook_OpenSSL) \
  X(PQdefaultSSLKeyPassHook_OpenSSL)
// clang-format on

// One pointer per entry point, typed after the library's own declaration. A missing optional
// entry point stays null and is recorded in InvalidNames.
class TmncPGLib : public TmnLibrary {
 public:
  TmncPGLib() : TmnLibrary("libpq.so.5") {}

  QM_PG_REQUIRED_ENTRY_POINTS(QM_DECLARE_ENTRY)
  QM_PG_OPTIONAL_ENTRY_POINTS(QM_DECLARE_ENTRY)

  // The number of entry points looked up by Link.
  static int EntryPointCount();

 protected:
  void Link() override;
};

// The process-wide binding. It is never destroyed, so that results freed late by the pool
// thread still find their entry points.
TmncPGLib& PGLib();

// The UTF-8 text of a library string (nil gives "").
inline std::string PGText(const char* text) {
  return text == nullptr ? std::string() : std::string(text);
}

}  // namespace qm
