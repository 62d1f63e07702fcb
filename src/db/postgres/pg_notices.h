#pragma once

// Server notices of a PostgreSQL connection: the library's notice texts parsed into level and
// message, and the list a connection collects until its transaction ends.

#include <memory>
#include <string>
#include <string_view>

#include "support/object_list.h"

namespace qm {

enum TmncPGNoticeLevel { mpnNone, mpnDEBUG, mpnINFO, mpnNOTICE, mpnWARNING, mpnERROR };

// "None", "DEBUG", "INFO", "NOTICE", "WARNING", "EXCEPTION".
const char* PGNoticeLevelWord(TmncPGNoticeLevel level);

class TmncPGNoticeItems;

// One server notice, owned by its list.
class TmncPGNotice {
 public:
  TmncPGNotice(TmncPGNoticeItems* items, std::string message, TmncPGNoticeLevel level)
      : FMessage(std::move(message)), FItems(items), FLevel(level) {}

  const std::string& Message() const { return FMessage; }
  TmncPGNoticeLevel Level() const { return FLevel; }
  TmncPGNoticeItems* Items() const { return FItems; }
  // The message alone for mpnNone, else "<level word>: <message>".
  std::string DisplayText() const;

 private:
  std::string FMessage;
  TmncPGNoticeItems* FItems;
  TmncPGNoticeLevel FLevel;
};

// The notices collected since the last transaction end, in arrival order. Owning.
class TmncPGNoticeItems : public TmnObjectList<TmncPGNotice> {
 public:
  using TmnObjectList<TmncPGNotice>::Add;
  TmncPGNotice* Add(const std::string& message, TmncPGNoticeLevel level);
  bool HasLevel(TmncPGNoticeLevel level) const;
  // The display texts joined by "\r ".
  std::string Message() const;
};

// Splits a notice text as the library delivers it ("NOTICE:  text\n") into level and message.
// False for an empty text (which is ignored).
bool ParsePGNotice(std::string_view text, std::string& message, TmncPGNoticeLevel& level);

}  // namespace qm
