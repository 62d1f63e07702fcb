#include "db/postgres/pg_notices.h"

#include <algorithm>
#include <array>

#include "db/postgres/pg_connection.h"
#include "support/text_utils.h"

namespace qm {

namespace {

constexpr std::array<const char*, 6> kNoticeWords = {"None",   "DEBUG",   "INFO",
                                                     "NOTICE", "WARNING", "EXCEPTION"};

bool StartsWithText(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && SameText(text.substr(0, prefix.size()), prefix);
}

}  // namespace

const char* PGNoticeLevelWord(TmncPGNoticeLevel level) {
  return kNoticeWords[static_cast<size_t>(level)];
}

std::string TmncPGNotice::DisplayText() const {
  if (FLevel == mpnNone)
    return FMessage;
  return std::string(PGNoticeLevelWord(FLevel)) + ": " + FMessage;
}

TmncPGNotice* TmncPGNoticeItems::Add(const std::string& message, TmncPGNoticeLevel level) {
  return Add(std::make_unique<TmncPGNotice>(this, message, level));
}

bool TmncPGNoticeItems::HasLevel(TmncPGNoticeLevel level) const {
  for (const TmncPGNotice* notice : *this) {
    if (notice->Level() == level)
      return true;
  }
  return false;
}

std::string TmncPGNoticeItems::Message() const {
  std::string out;
  for (int i = 0; i < Count(); ++i) {
    if (i > 0)
      out += "\r ";
    out += Items(i)->DisplayText();
  }
  return out;
}

bool ParsePGNotice(std::string_view text, std::string& message, TmncPGNoticeLevel& level) {
  if (text.empty())
    return false;
  level = mpnNone;
  if (StartsWithText(text, "LOG")) {
    text.remove_prefix(std::min<size_t>(4, text.size()));
    level = mpnINFO;
  } else {
    for (int i = mpnDEBUG; i <= mpnERROR; ++i) {
      const std::string_view word = kNoticeWords[static_cast<size_t>(i)];
      if (StartsWithText(text, word)) {
        // The word and the ":" after it.
        text.remove_prefix(std::min(word.size() + 1, text.size()));
        level = static_cast<TmncPGNoticeLevel>(i);
        break;
      }
    }
  }
  message = Trim(text);
  return true;
}

TmncPGNoticeItems& TmncPGConnection::Notices() {
  if (!FNotices)
    FNotices = std::make_unique<TmncPGNoticeItems>();
  return *FNotices;
}

void TmncPGConnection::NoticeProcessor(void* argument, const char* message) {
  auto* connection = static_cast<TmncPGConnection*>(argument);
  std::string text;
  TmncPGNoticeLevel level = mpnNone;
  if (ParsePGNotice(PGText(message), text, level))
    connection->Notices().Add(text, level);
}

void TmncPGConnection::DoNotices(TmncPGNoticeItems&, bool) {}

void TmncPGConnection::FlushNotices(bool committed) {
  if (!FNotices)
    return;
  struct ClearAfter {
    TmncPGNoticeItems& items;
    ~ClearAfter() { items.Clear(); }
  } clear{*FNotices};
  DoNotices(*FNotices, committed);
}

}  // namespace qm
