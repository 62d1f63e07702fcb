#pragma once

// The SQLite library, bound at run time: `TmncSQLiteLib` loads "libsqlite3.so.0" through the
// library loader and looks up the entry points the driver calls. sqlite3.h supplies only the
// types and constants; nothing links against the library, every call goes through a member
// below.
//
// A library without one of the required entry points fails to load with the loader's
// missing-entry-point error; a missing optional one stays null and is listed in InvalidNames.
//
// Linking also switches URI file names off for the whole library (they are never wanted: a
// database name is a file name), which works only before the library's first use.
//
// Thread-safety: one binding is shared by the whole process. `Load` serialises the first load;
// after `Load` has returned, the members are only read and may be used from any thread.

#include <sqlite3.h>

#include <string_view>

#include "transport/library.h"

namespace qm {

// The entry points the driver calls without a check: a library that lacks one fails to load.
#define QM_SQLITE_REQUIRED_ENTRY_POINTS(X) \
  X(sqlite3_db_config)                     \
  X(sqlite3_set_authorizer)                \
  X(sqlite3_open_v2)                       \
  X(sqlite3_close)                         \
  X(sqlite3_close_v2)                      \
  X(sqlite3_errmsg)                        \
  X(sqlite3_errstr)                        \
  X(sqlite3_busy_timeout)                  \
  X(sqlite3_interrupt)                     \
  X(sqlite3_libversion)                    \
  X(sqlite3_exec)                          \
  X(sqlite3_free)                          \
  X(sqlite3_last_insert_rowid)             \
  X(sqlite3_changes)                       \
  X(sqlite3_prepare_v2)                    \
  X(sqlite3_step)                          \
  X(sqlite3_reset)                         \
  X(sqlite3_finalize)                      \
  X(sqlite3_bind_null)                     \
  X(sqlite3_bind_int)                      \
  X(sqlite3_bind_int64)                    \
  X(sqlite3_bind_double)                   \
  X(sqlite3_bind_text)                     \
  X(sqlite3_bind_blob)                     \
  X(sqlite3_column_count)                  \
  X(sqlite3_column_name)                   \
  X(sqlite3_column_type)                   \
  X(sqlite3_column_decltype)               \
  X(sqlite3_column_int64)                  \
  X(sqlite3_column_double)                 \
  X(sqlite3_column_text)                   \
  X(sqlite3_column_blob)                   \
  X(sqlite3_column_bytes)

// Looked up, but a library without them still loads: the driver checks these before calling
// them (the URI switch, the shared-cache lock wait) or does not call them.
#define QM_SQLITE_OPTIONAL_ENTRY_POINTS(X) \
  X(sqlite3_config)                        \
  X(sqlite3_extended_errcode)              \
  X(sqlite3_unlock_notify)                 \
  X(sqlite3_prepare)                       \
  X(sqlite3_bind_parameter_count)          \
  X(sqlite3_column_int)

class TmncSQLiteLib : public TmnLibrary {
 public:
  static constexpr std::string_view kDefaultName = "libsqlite3.so.0";

  explicit TmncSQLiteLib(std::string_view library_name = kDefaultName) : TmnLibrary(library_name) {}

  QM_SQLITE_REQUIRED_ENTRY_POINTS(QM_DECLARE_ENTRY)
  QM_SQLITE_OPTIONAL_ENTRY_POINTS(QM_DECLARE_ENTRY)

 protected:
  void Link() override;
};

// The process-wide binding, created on first use and never freed before the process ends.
TmncSQLiteLib& SQLiteLib();

}  // namespace qm
