#include "client/sql_splitter.h"

#include "support/text_utils.h"

namespace qm {

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

std::string Trimmed(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && IsBlank(text[begin]))
    ++begin;
  while (end > begin && IsBlank(text[end - 1]))
    --end;
  return std::string(text.substr(begin, end - begin));
}

// Whether text holds more than blanks and comments.
bool HasCode(std::string_view text) {
  return SkipSqlBlanksAndComments(text, false) != std::string_view::npos;
}

bool IsTagChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         static_cast<unsigned char>(c) >= 0x80;
}

}  // namespace

std::vector<std::string> TqmStatementSplitter::Feed(std::string_view Text) {
  FText.append(Text);
  std::vector<std::string> statements;
  std::size_t start = 0;  // of the statement being scanned, in FText
  std::size_t i = FScanned;
  while (i < FText.size()) {
    const char c = FText[i];
    const char next = i + 1 < FText.size() ? FText[i + 1] : '\0';
    switch (FState) {
      case TState::Normal:
        if (c == ';') {
          std::string statement = Trimmed(std::string_view(FText).substr(start, i - start));
          if (HasCode(statement))
            statements.push_back(std::move(statement));
          start = i + 1;
        } else if (c == '\'') {
          FState = TState::Single;
        } else if (c == '"') {
          FState = TState::Double;
        } else if (c == '-' && next == '-') {
          FState = TState::LineComment;
          ++i;
        } else if (c == '/' && next == '*') {
          FState = TState::BlockComment;
          ++i;
        } else if (c == '$' && (i == 0 || !IsTagChar(FText[i - 1]))) {
          // $tag$ opens a dollar-quoted string; "$1" (a parameter) does not.
          std::size_t end = i + 1;
          while (end < FText.size() && IsTagChar(FText[end]))
            ++end;
          if (end < FText.size() && FText[end] == '$' && !(next >= '0' && next <= '9')) {
            FDollarTag = FText.substr(i, end - i + 1);
            FState = TState::Dollar;
            i = end;
          } else if (end >= FText.size()) {
            // The tag may go on in the next piece: scan it again then.
            FScanned = i;
            FText.erase(0, start);
            FScanned -= start;
            return statements;
          }
        }
        break;
      case TState::Single:
        // A doubled quote stays inside: the second one opens the literal again.
        if (c == '\'')
          FState = TState::Normal;
        break;
      case TState::Double:
        if (c == '"')
          FState = TState::Normal;
        break;
      case TState::Dollar:
        if (FText.compare(i, FDollarTag.size(), FDollarTag) == 0) {
          i += FDollarTag.size() - 1;
          FState = TState::Normal;
        }
        break;
      case TState::LineComment:
        if (c == '\n')
          FState = TState::Normal;
        break;
      case TState::BlockComment:
        if (c == '*' && next == '/') {
          FState = TState::Normal;
          ++i;
        }
        break;
    }
    ++i;
  }
  FText.erase(0, start);
  FScanned = FText.size();
  // A "-" or "/" or "*" at the very end may start a comment marker with the next piece.
  if (FState == TState::Normal || FState == TState::BlockComment) {
    if (!FText.empty() && (FText.back() == '-' || FText.back() == '/' || FText.back() == '*'))
      --FScanned;
  }
  return statements;
}

std::string TqmStatementSplitter::Rest() const {
  return Trimmed(FText);
}

bool TqmStatementSplitter::Pending() const {
  return HasCode(FText);
}

void TqmStatementSplitter::Clear() {
  FText.clear();
  FScanned = 0;
  FState = TState::Normal;
  FDollarTag.clear();
}

std::vector<std::string> SplitStatements(std::string_view Text) {
  TqmStatementSplitter splitter;
  std::vector<std::string> statements = splitter.Feed(Text);
  if (splitter.Pending())
    statements.push_back(splitter.Rest());
  return statements;
}

}  // namespace qm
