// Both scanners of parameter markers in SQL text. The first byte picks the scanner, the
// options and the engine's marker text; the rest is the SQL.

#include <cstdint>
#include <string>

#include "db/fake_engine_fixture.h"
#include "support/exception.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0)
    return 0;
  const std::uint8_t pick = data[0];
  qm::fake::FakeSession session;
  session.connection->param_char = (pick & 0x20) != 0 ? "$" : "?";
  auto command = session.Command();
  command->use_prm_processed = (pick & 0x01) != 0;
  qm::TmncParseOptions options;
  if ((pick & 0x02) != 0)
    options.Include(qm::psoAllowUnnamed);
  if ((pick & 0x04) != 0)
    options.Include(qm::psoNumbered);
  if ((pick & 0x08) != 0)
    options.Include(qm::psoKeepNames);
  command->parse_options = options;
  command->SetSQL(std::string(reinterpret_cast<const char*>(data + 1), size - 1));
  try {
    command->Prepare();
  } catch (const qm::Exception&) {
    return 0;
  }
  // Every marker found is bound to a parameter of the command.
  if (command->Binds().Count() != command->ProcessedSQL().Count())
    __builtin_trap();
  return 0;
}
