#pragma once

// Real SQLite database files in a throw-away folder, with a connected session connection and
// one started transaction, plus small helpers to run statements and read rows back.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/message_of.h"
#include "common/temp_folder.h"
#include "db/sqlite/sqlite_connection.h"

namespace qm::sqlite_test {

using qm::testing::MessageOf;

using qm::testing::TempFolder;

class SQLiteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    connection = Open(File("test.sqlite"));
    transaction = connection->CreateTransaction();
    transaction->Start();
  }

  std::string File(const std::string& name) const { return folder.File(name); }

  static std::unique_ptr<TprmSQLiteConnection> Open(const std::string& file) {
    auto result = std::make_unique<TprmSQLiteConnection>();
    result->SetResource(file);
    result->Connect();
    return result;
  }

  std::unique_ptr<TmncSQLCommand> Command(const std::string& sql,
                                          TmncSQLTransaction* on = nullptr) {
    return (on != nullptr ? on : transaction.get())->CreateCommand(sql);
  }

  // Every row of `sql` on `on` (default: the fixture's transaction), as values.
  std::vector<std::vector<Variant>> Rows(const std::string& sql, TmncSQLTransaction* on = nullptr) {
    auto command = Command(sql, on);
    std::vector<std::vector<Variant>> rows;
    if (command->Execute()) {
      do {
        std::vector<Variant> row;
        for (int i = 0; i < command->Fields()->Count(); ++i)
          row.push_back(command->Fields()->Items(i)->GetValue());
        rows.push_back(std::move(row));
      } while (command->Next());
    }
    return rows;
  }

  // The single value of a one-row, one-column query.
  Variant Scalar(const std::string& sql, TmncSQLTransaction* on = nullptr) {
    auto rows = Rows(sql, on);
    if (rows.size() != 1 || rows[0].size() != 1)
      throw std::runtime_error("not a single value: " + sql);
    return rows[0][0];
  }

  void Exec(const std::string& sql) { transaction->Execute(sql); }

  TempFolder folder;
  std::unique_ptr<TprmSQLiteConnection> connection;
  std::unique_ptr<TmncSQLTransaction> transaction;
};

}  // namespace qm::sqlite_test
