// The defaults of what a client session asks of a transaction and a command: running a script
// through commands and writing rows by stepping through the fields.

#include "db/db_script.h"
#include "db/fields.h"
#include "db/sql_connections.h"

namespace qm {

void TmncSQLTransaction::RunScript(const std::string& script, const std::string& name) {
  TprmDBScript runner(this);
  runner.Execute(script, name);
}

void TmncSQLCommand::WriteRows(TmncRowSink& sink) {
  std::uint64_t row = 0;
  while (!Done()) {
    ++row;
    TmncFields* fields = Fields();
    const int count = fields == nullptr ? 0 : fields->Count();
    for (int i = 0; i < count; ++i) {
      TmncField* field = fields->Items(i);
      if (field->IsNull()) {
        sink.Null();
      } else {
        const Variant value = field->GetValue();
        if (value.Kind() == VariantKind::kBytes && !field->HasByteText()) {
          if (!sink.Bytes(value.ToString()))
            sink.Refuse(field->Name(), row);
        } else if (!sink.Value(field->AsNullString())) {
          sink.Refuse(field->Name(), row);
        }
      }
      if (i < count - 1)
        sink.Separator();
    }
    sink.Terminator();
    Next();
  }
}

}  // namespace qm
