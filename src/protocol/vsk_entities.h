#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

// Direction(s) an escape entry is used in.
enum TprmEntityWay : unsigned { erwEncode = 1, erwDecode = 2, erwBoth = 3 };

// One escape entry: the entity word and the text it stands for.
struct TprmEntity {
  std::string Name;   // e.g. "&apos&"
  std::string Value;  // e.g. "'"
  unsigned Way = erwBoth;
};

// The ordered escape table of a filer. Order matters: at each position the first entry whose
// source matches wins, and replaced text is never scanned again, so decoding undoes exactly one
// encoding. All entries are ASCII, so UTF-8 text can be translated byte for byte.
class TprmEntities {
 public:
  void Add(std::string name, std::string value, unsigned way = erwBoth);
  void DeleteName(std::string_view name);
  // Exact, case-sensitive; null when absent.
  const TprmEntity* Find(std::string_view name) const;
  void Clear();
  std::size_t Count() const { return FList.size(); }
  const TprmEntity& operator[](std::size_t index) const { return FList.at(index); }

  // `way` is erwEncode (text to entity words) or erwDecode (entity words to text).
  std::string RenderText(std::string_view text, TprmEntityWay way) const;

 private:
  // The entries of one direction in table order, and the bytes that can start one of their
  // sources, kept up to date on every change so that rendering only scans.
  struct TWayTable {
    std::vector<std::size_t> Entries;  // indexes into FList
    std::array<bool, 256> Starts{};
  };
  void AddToTables(std::size_t index);
  void RebuildTables();
  const TWayTable& Table(TprmEntityWay way) const { return way == erwEncode ? FEncode : FDecode; }

  std::vector<TprmEntity> FList;
  TWayTable FEncode;
  TWayTable FDecode;
};

// Fills `entities` with the ten VSK escape entries in their fixed order; the four line-break
// entries are left out when `multi_line` is set.
void InitVSKEntities(TprmEntities& entities, bool multi_line = false);

}  // namespace qm
