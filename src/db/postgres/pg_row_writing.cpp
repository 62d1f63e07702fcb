// A command's rows written for a reply: the value bytes straight from the library's results.

#include "db/postgres/pg_command.h"

namespace qm {

namespace {

// One row of a libpq result: the value bytes as the library holds them.
// Number is the row's place in the whole result, counting from 1.
void WritePGRow(PGresult* result, int row, int columns, std::uint64_t number, TmncRowSink& writer) {
  TmncPGLib& lib = PGLib();
  for (int col = 0; col < columns; ++col) {
    if (lib.PQgetisnull(result, row, col) != 0) {
      writer.Null();
    } else {
      const char* value = lib.PQgetvalue(result, row, col);
      const int length = lib.PQgetlength(result, row, col);
      const std::string_view text = value == nullptr || length <= 0
                                        ? std::string_view()
                                        : std::string_view(value, static_cast<std::size_t>(length));
      if (!writer.Value(text))
        writer.Refuse(PGText(lib.PQfname(result, col)), number);
    }
    if (col < columns - 1)
      writer.Separator();
  }
  writer.Terminator();
}

}  // namespace

void TmncPGCommand::SetRunOnce() {
  SetOneShot(true);
  SetSingleRowMode(true);
}

// A complete result is written whole, whatever row the command stands on; in single-row mode
// each row is its own result, written and freed as the command steps on, so the server never
// holds the whole result.
void TmncPGCommand::WriteRows(TmncRowSink& writer) {
  const int columns = Columns().Count();
  if (columns == 0)
    return;
  if (SingleRowMode()) {
    std::uint64_t number = 0;
    while (!Done()) {
      ++number;
      if (PGresult* result = Statement(); result != nullptr)
        WritePGRow(result, Tuple(), columns, number, writer);
      Next();
    }
    return;
  }
  PGresult* result = Statement();
  if (result == nullptr)
    return;
  const int rows = PGLib().PQntuples(result);
  for (int row = 0; row < rows; ++row)
    WritePGRow(result, row, columns, static_cast<std::uint64_t>(row) + 1, writer);
}

}  // namespace qm
