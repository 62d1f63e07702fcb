#pragma once

// Splits SQL text into statements at ";" outside string literals ('...'), quoted names ("..."),
// PostgreSQL dollar-quoted strings ($$...$$, $tag$...$tag$) and comments (-- to the line end,
// /* ... */). Text may arrive in pieces (lines typed one by one): what does not end with a ";"
// yet waits for the next piece.

#include <string>
#include <string_view>
#include <vector>

namespace qm {

class TqmStatementSplitter {
 public:
  // Adds text and returns the statements it completed, without their ";" and trimmed of
  // surrounding blanks; statements of only blanks and comments (";;") are left out.
  std::vector<std::string> Feed(std::string_view Text);
  // The unfinished statement, trimmed.
  std::string Rest() const;
  // Whether more than blanks and comments waits for a ";".
  bool Pending() const;
  void Clear();

 private:
  enum class TState { Normal, Single, Double, Dollar, LineComment, BlockComment };
  std::string FText;         // the unfinished statement
  std::size_t FScanned = 0;  // how much of FText was scanned
  TState FState = TState::Normal;
  std::string FDollarTag;  // the closing tag in state Dollar
};

// All statements of a whole text: the complete ones and a last one without ";".
std::vector<std::string> SplitStatements(std::string_view Text);

}  // namespace qm
