#include "protocol/vsk_entities.h"

#include <algorithm>
#include <array>

namespace qm {

void TprmEntities::Add(std::string name, std::string value, unsigned way) {
  FList.push_back(TprmEntity{std::move(name), std::move(value), way});
}

void TprmEntities::DeleteName(std::string_view name) {
  auto it =
      std::find_if(FList.begin(), FList.end(), [&](const TprmEntity& e) { return e.Name == name; });
  if (it != FList.end()) {
    FList.erase(it);
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
  // Entries usable in this direction, and a table of the bytes that can start one of them so that
  // most positions are passed over without trying every entry.
  std::vector<std::pair<std::string_view, std::string_view>> active;  // source, target
  std::array<bool, 256> starts{};
  for (const auto& e : FList) {
    if ((e.Way & way) == 0) {
      continue;
    }
    std::string_view source = way == erwEncode ? std::string_view(e.Value) : e.Name;
    std::string_view target = way == erwEncode ? std::string_view(e.Name) : e.Value;
    if (source.empty()) {
      continue;
    }
    active.emplace_back(source, target);
    starts[static_cast<unsigned char>(source[0])] = true;
  }

  std::string result;
  result.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    if (starts[static_cast<unsigned char>(text[pos])]) {
      bool matched = false;
      for (const auto& [source, target] : active) {
        if (text.compare(pos, source.size(), source) == 0) {
          result.append(target);
          pos += source.size();
          matched = true;
          break;
        }
      }
      if (matched) {
        continue;
      }
    }
    result.push_back(text[pos]);
    ++pos;
  }
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
