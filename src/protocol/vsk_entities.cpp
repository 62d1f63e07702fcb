#include "protocol/vsk_entities.h"

#include <algorithm>
#include <array>

namespace qm {

void TprmEntities::Add(std::string name, std::string value, unsigned way) {
  FList.push_back(TprmEntity{std::move(name), std::move(value), way});
  AddToTables(FList.size() - 1);
}

void TprmEntities::Clear() {
  FList.clear();
  RebuildTables();
}

void TprmEntities::AddToTables(std::size_t index) {
  const TprmEntity& e = FList[index];
  for (TprmEntityWay way : {erwEncode, erwDecode}) {
    const std::string& source = way == erwEncode ? e.Value : e.Name;
    if ((e.Way & way) == 0 || source.empty()) {
      continue;
    }
    TWayTable& table = way == erwEncode ? FEncode : FDecode;
    table.Entries.push_back(index);
    table.Starts[static_cast<unsigned char>(source[0])] = true;
  }
}

void TprmEntities::RebuildTables() {
  for (TWayTable* table : {&FEncode, &FDecode}) {
    table->Entries.clear();
    table->Starts.fill(false);
  }
  for (std::size_t i = 0; i < FList.size(); ++i) {
    AddToTables(i);
  }
}

void TprmEntities::DeleteName(std::string_view name) {
  auto it =
      std::find_if(FList.begin(), FList.end(), [&](const TprmEntity& e) { return e.Name == name; });
  if (it != FList.end()) {
    FList.erase(it);
    RebuildTables();
  }
}

const TprmEntity* TprmEntities::Find(std::string_view name) const {
  for (const auto& e : FList) {
    if (e.Name == name) {
      return &e;
    }
  }
  return nullptr;
}

std::string TprmEntities::RenderText(std::string_view text, TprmEntityWay way) const {
  const TWayTable& table = Table(way);
  std::string result;
  result.reserve(text.size());
  std::size_t pos = 0;
  std::size_t plain = 0;  // start of the bytes not yet copied
  while (pos < text.size()) {
    if (!table.Starts[static_cast<unsigned char>(text[pos])]) {
      ++pos;
      continue;
    }
    bool matched = false;
    for (std::size_t index : table.Entries) {
      const TprmEntity& e = FList[index];
      const std::string_view source = way == erwEncode ? e.Value : e.Name;
      if (text.compare(pos, source.size(), source) == 0) {
        result.append(text.substr(plain, pos - plain));
        result.append(way == erwEncode ? e.Name : e.Value);
        pos += source.size();
        plain = pos;
        matched = true;
        break;
      }
    }
    if (!matched) {
      ++pos;
    }
  }
  result.append(text.substr(plain));
  return result;
}

void InitVSKEntities(TprmEntities& entities, bool multi_line) {
  entities.Add("&and&", "&");
  entities.Add("&apos&", "'");
  if (!multi_line) {
    entities.Add("&weof&", "\r\n");
    entities.Add("&ueof&", "\n");
    entities.Add("&eol&", "\n");
    entities.Add("&meol&", "\r");
  }
  entities.Add("&null&", std::string(1, '\0'));
  entities.Add("&obkt&", "{");
  entities.Add("&cbkt&", "}");
  entities.Add("&scln&", ";");
}

}  // namespace qm
