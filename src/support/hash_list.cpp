#include "support/hash_list.h"

#include <charconv>

namespace qm {

int64_t TprmHashKey::AsInt64() const {
  if (const auto* number = std::get_if<int64_t>(&FValue))
    return *number;
  const std::string& text = std::get<std::string>(FValue);
  int64_t result = 0;
  const char* begin = text.data();
  const char* end = text.data() + text.size();
  if (begin != end && *begin == '+')
    ++begin;
  auto [ptr, ec] = std::from_chars(begin, end, result);
  if (begin == end || ec != std::errc() || ptr != end)
    throw EConvertError("'" + text + "' is not a valid integer value");
  return result;
}

std::string TprmHashKey::AsString() const {
  if (const auto* number = std::get_if<int64_t>(&FValue))
    return std::to_string(*number);
  return std::get<std::string>(FValue);
}

bool TprmHashKey::operator==(const TprmHashKey& other) const {
  if (FValue.index() == other.FValue.index())
    return FValue == other.FValue;
  // An integer against a string: equal when the string reads as that integer.
  const TprmHashKey& text = IsInteger() ? other : *this;
  const TprmHashKey& number = IsInteger() ? *this : other;
  try {
    return text.AsInt64() == number.AsInt64();
  } catch (const EConvertError&) {
    return false;
  }
}

TprmHashList::TprmHashList(uint32_t size) : FSize(size) {
  if (size == 0)
    throw EprmException("Size = 0 !");
  Buckets.resize(size);
}

TprmHashList::~TprmHashList() {
  TprmHashList::Clear();
}

TprmHashItem* TprmHashList::Add(std::unique_ptr<TprmHashItem> item) {
  item->FHash = HashOf(item->Key());
  auto& head = Buckets[BucketOfItem(*item)];
  item->FNext = std::move(head);
  head = std::move(item);
  ++FCount;
  DoItemAdded(head.get());
  return head.get();
}

TprmHashItem* TprmHashList::Find(const TprmHashKey& key) {
  if (FLastFind != nullptr && FLastFind->Key() == key)
    return FLastFind;
  TprmHashItem* found = nullptr;
  for (TprmHashItem* item = Buckets[BucketOfKey(key)].get(); item != nullptr; item = item->Next()) {
    if (item->Key() == key) {
      found = item;
      break;
    }
  }
  FLastFind = found;
  return found;
}

std::unique_ptr<TprmHashItem> TprmHashList::Extract(const TprmHashKey& key) {
  const uint32_t bucket = BucketOfKey(key);
  TprmHashItem* previous = nullptr;
  // link is the owning pointer that holds the item looked at: a bucket head or an FNext.
  for (std::unique_ptr<TprmHashItem>* link = &Buckets[bucket]; *link != nullptr;
       link = &(*link)->FNext) {
    if ((*link)->Key() == key) {
      std::unique_ptr<TprmHashItem> item = std::move(*link);
      *link = std::move(item->FNext);
      if (FLastFind == item.get())
        FLastFind = nullptr;
      if (FCurrent == item.get()) {
        // Keep the cursor usable: `Next` continues with the extracted item's successor.
        FCurrent = previous;
        if (previous == nullptr)
          FCurrentPos = bucket;
      }
      --FCount;
      return item;
    }
    previous = link->get();
  }
  return nullptr;
}

bool TprmHashList::Delete(const TprmHashKey& key) {
  return Extract(key) != nullptr;
}

void TprmHashList::Clear() {
  // Unlink chains one item at a time so that a long chain is not freed by deep recursion.
  for (auto& head : Buckets) {
    while (head != nullptr) {
      std::unique_ptr<TprmHashItem> next = std::move(head->FNext);
      head = std::move(next);
    }
  }
  FLastFind = nullptr;
  FCurrent = nullptr;
  FCurrentPos = 0;
  FCount = 0;
}

TprmHashItem* TprmHashList::NextItem(uint32_t& pos, TprmHashItem* current) const {
  if (current != nullptr && current->Next() != nullptr)
    return current->Next();
  while (pos < FSize) {
    TprmHashItem* head = Buckets[pos].get();
    ++pos;
    if (head != nullptr)
      return head;
  }
  return nullptr;
}

std::unique_ptr<TprmHashItems> TprmHashList::EnumItems() const {
  auto items = std::make_unique<TprmHashItems>();
  Process([&items](TprmHashItem& item) { items->Add(&item); });
  return items;
}

void TprmHashList::Process(const std::function<void(TprmHashItem& item)>& proc) const {
  uint32_t pos = 0;
  for (TprmHashItem* item = NextItem(pos, nullptr); item != nullptr; item = NextItem(pos, item))
    proc(*item);
}

void TprmHashList::First() {
  FCurrent = nullptr;
  FCurrentPos = 0;
  Next();
}

void TprmHashList::Next() {
  FCurrent = NextItem(FCurrentPos, FCurrent);
}

}  // namespace qm
