#pragma once

// The Firebird client library, bound at run time: `TmncFBLib` loads "libfbclient.so.2" through
// the library loader and looks up its entry points. ibase.h supplies only the published types,
// structures and codes; nothing links against the library, every call goes through a member.
//
// A library without one of the required entry points fails to load with the loader's
// missing-entry-point error; a missing optional one stays null and is listed in InvalidNames.
//
// Thread-safety: one binding is shared by the whole process. `Load` serialises the first load;
// afterwards the members are only read and may be used from any thread.

#include <ibase.h>

#include <string_view>

#include "transport/library.h"

namespace qm {

// The entry points the driver calls without a check: a library that lacks one fails to load.
#define QM_FB_REQUIRED_ENTRY_POINTS(X) \
  X(isc_attach_database)               \
  X(isc_blob_info)                     \
  X(isc_open_blob2)                    \
  X(isc_close_blob)                    \
  X(isc_get_segment)                   \
  X(isc_put_segment)                   \
  X(isc_create_blob2)                  \
  X(isc_cancel_blob)                   \
  X(isc_dsql_free_statement)           \
  X(isc_dsql_execute2)                 \
  X(isc_dsql_execute)                  \
  X(isc_dsql_set_cursor_name)          \
  X(isc_dsql_fetch)                    \
  X(isc_dsql_sql_info)                 \
  X(isc_dsql_alloc_statement2)         \
  X(isc_dsql_prepare)                  \
  X(isc_dsql_describe_bind)            \
  X(isc_dsql_describe)                 \
  X(isc_dsql_execute_immediate)        \
  X(isc_drop_database)                 \
  X(isc_detach_database)               \
  X(isc_database_info)                 \
  X(isc_start_multiple)                \
  X(isc_commit_transaction)            \
  X(isc_commit_retaining)              \
  X(isc_rollback_transaction)          \
  X(isc_rollback_retaining)            \
  X(fb_cancel_operation)

// Looked up, but a library without them still loads: the driver checks these before calling
// them (the error texts) or does not call them.
#define QM_FB_OPTIONAL_ENTRY_POINTS(X) \
  X(isc_sqlcode)                       \
  X(isc_sql_interprete)                \
  X(fb_interpret)                      \
  X(isc_vax_integer)                   \
  X(isc_portable_integer)              \
  X(isc_decode_date)                   \
  X(isc_encode_date)                   \
  X(isc_decode_sql_date)               \
  X(isc_decode_sql_time)               \
  X(isc_decode_timestamp)              \
  X(isc_encode_sql_date)               \
  X(isc_encode_sql_time)               \
  X(isc_encode_timestamp)              \
  X(isc_prepare_transaction)           \
  X(isc_get_client_version)            \
  X(isc_get_client_major_version)      \
  X(isc_get_client_minor_version)      \
  X(fb_sqlstate)

class TmncFBLib : public TmnLibrary {
 public:
  static constexpr std::string_view kDefaultName = "libfbclient.so.2";

  explicit TmncFBLib(std::string_view library_name = kDefaultName) : TmnLibrary(library_name) {}

  QM_FB_REQUIRED_ENTRY_POINTS(QM_DECLARE_ENTRY)
  QM_FB_OPTIONAL_ENTRY_POINTS(QM_DECLARE_ENTRY)

 protected:
  void Link() override;
};

// The process-wide binding, created on first use and never freed before the process ends.
TmncFBLib& FBLib();

}  // namespace qm
