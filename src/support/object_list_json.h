#pragma once

// The JSON view of an object list. Kept out of support/object_list.h so that only the code that
// wants JSON compiles the JSON library.

#include <nlohmann/json.hpp>

namespace qm {

// A JSON array with one element per item of `list`, in order, each the item's own `ToJson()`.
template <typename List>
nlohmann::json AsJsonArray(const List& list) {
  nlohmann::json array = nlohmann::json::array();
  for (const auto* item : list)
    array.push_back(item->ToJson());
  return array;
}

}  // namespace qm
