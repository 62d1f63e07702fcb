#include "db/string_list.h"

namespace qm {

void TmncStringList::BeforeChange() {
  if (FBeforeChange)
    FBeforeChange();
  FChanged = true;
}

void TmncStringList::Assign(const TStrings& lines) {
  BeforeChange();
  FLines = lines;
}

void TmncStringList::SetText(std::string_view text) {
  TStrings lines;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      lines.emplace_back(text.substr(start, i - start));
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
        ++i;
      start = i + 1;
    }
  }
  if (start < text.size())
    lines.emplace_back(text.substr(start));
  Assign(lines);
}

std::string TmncStringList::Text() const {
  std::string text;
  for (const std::string& line : FLines) {
    text += line;
    text += '\n';
  }
  return text;
}

void TmncStringList::Add(const std::string& line) {
  BeforeChange();
  FLines.push_back(line);
}

void TmncStringList::Clear() {
  BeforeChange();
  FLines.clear();
}

int TmncStringList::IndexOfName(std::string_view name) const {
  for (size_t i = 0; i < FLines.size(); ++i) {
    const std::string& line = FLines[i];
    const size_t eq = line.find('=');
    if (eq != std::string::npos && SameText(std::string_view(line).substr(0, eq), name))
      return static_cast<int>(i);
  }
  return -1;
}

std::string TmncStringList::Values(std::string_view name) const {
  const int index = IndexOfName(name);
  if (index < 0)
    return std::string();
  const std::string& line = FLines[static_cast<size_t>(index)];
  return line.substr(line.find('=') + 1);
}

void TmncStringList::SetValues(std::string_view name, const std::string& value) {
  const int index = IndexOfName(name);
  BeforeChange();
  if (value.empty()) {
    if (index >= 0)
      FLines.erase(FLines.begin() + index);
  } else if (index >= 0) {
    FLines[static_cast<size_t>(index)] = std::string(name) + "=" + value;
  } else {
    FLines.push_back(std::string(name) + "=" + value);
  }
}

}  // namespace qm
