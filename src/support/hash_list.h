#pragma once

// A chained hash table of owned items, each item knowing its own key. The session registries
// (connections, transactions and prepared commands keyed by integer handles) derive from it.
//
// Not thread-safe: the registries take their own lock around every use.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "support/object_list.h"

namespace qm {

// A key: an integer of any width (held as 64 bits, so keys of different integer widths with the
// same value are equal) or a string. A string equals an integer when it is that integer's
// decimal text.
class TprmHashKey {
 public:
  template <typename I>
  requires std::is_integral_v<I> TprmHashKey(I value)
      : FValue(static_cast<int64_t>(value)) {}                    // NOLINT: implicit on purpose
  TprmHashKey(std::string value) : FValue(std::move(value)) {}    // NOLINT
  TprmHashKey(const char* value) : FValue(std::string(value)) {}  // NOLINT

  bool IsInteger() const { return std::holds_alternative<int64_t>(FValue); }
  // The key as a 64-bit integer; a string that is not a decimal integer raises EConvertError
  // "'<text>' is not a valid integer value".
  int64_t AsInt64() const;
  // The key as text (an integer in decimal).
  std::string AsString() const;

  bool operator==(const TprmHashKey& other) const;

 private:
  std::variant<int64_t, std::string> FValue;
};

class TprmHashList;

// An item of a TprmHashList. `Key` must keep returning the same key while the item is in a list.
class TprmHashItem {
 public:
  TprmHashItem() = default;
  TprmHashItem(const TprmHashItem&) = delete;
  TprmHashItem& operator=(const TprmHashItem&) = delete;
  virtual ~TprmHashItem() = default;

  virtual TprmHashKey Key() const = 0;

  // The hash of the key, stored when the item was added.
  uint32_t Hash() const { return FHash; }
  // The next item in the same bucket chain, or null.
  TprmHashItem* Next() const { return FNext.get(); }

 private:
  friend class TprmHashList;
  uint32_t FHash = 0;
  std::unique_ptr<TprmHashItem> FNext;
};

// A snapshot of items that does not own them.
class TprmHashItems : public TprmObjectList<TprmHashItem> {
 public:
  TprmHashItems() : TprmObjectList<TprmHashItem>(false) {}
};

// A fixed number of buckets (no rehashing), each a chain with the most recently added item at
// its head. Owns its items: `Delete`, `Clear` and destruction free them; `Extract` hands one
// back. Keys need not be unique. `Find` keeps a one-entry cache of its last result.
// Iteration order (`Process`, `EnumItems`, `First`/`Next`): buckets from 0 upward, each chain
// from its head.
class TprmHashList {
 public:
  static constexpr uint32_t kDefaultSize = 1023;

  // size 0 raises EprmException "Size = 0 !".
  explicit TprmHashList(uint32_t size = kDefaultSize);
  TprmHashList(const TprmHashList&) = delete;
  TprmHashList& operator=(const TprmHashList&) = delete;
  virtual ~TprmHashList();

  uint32_t Size() const { return FSize; }
  int Count() const { return FCount; }

  uint32_t HashOf(const TprmHashKey& key) const { return KeyHash(key); }

  // Links the item in at the head of its bucket and returns it; no check for an equal key.
  // A key whose hash fails raises that error and the item is freed, the list unchanged.
  TprmHashItem* Add(std::unique_ptr<TprmHashItem> item);
  template <typename T>
  T* Add(std::unique_ptr<T> item) {
    T* raw = item.get();
    Add(std::unique_ptr<TprmHashItem>(std::move(item)));
    return raw;
  }

  // The item whose key equals key, or null; the cached last result comes first.
  TprmHashItem* Find(const TprmHashKey& key);
  template <typename T>
  T* FindAs(const TprmHashKey& key) {
    return static_cast<T*>(Find(key));
  }
  bool IsExist(const TprmHashKey& key) { return Find(key) != nullptr; }

  // Unlinks and returns the first item of key's chain whose key equals key, or null.
  std::unique_ptr<TprmHashItem> Extract(const TprmHashKey& key);
  // `Extract` and free; false when no item was found.
  bool Delete(const TprmHashKey& key);
  // Frees every item. An iteration in progress must be restarted with `First`.
  virtual void Clear();

  // A new list (the caller owns the list, not the items) of every item in iteration order.
  std::unique_ptr<TprmHashItems> EnumItems() const;
  // Calls proc for every item in iteration order; proc must not remove items.
  virtual void Process(const std::function<void(TprmHashItem& item)>& proc) const;

  // Cursor over the items in iteration order.
  void First();
  void Next();
  bool Eof() const { return FCurrent == nullptr; }
  TprmHashItem* Current() const { return FCurrent; }
  uint32_t CurrentPos() const { return FCurrentPos; }

 protected:
  virtual uint32_t BucketOfItem(const TprmHashItem& item) const { return item.FHash % FSize; }
  virtual uint32_t BucketOfKey(const TprmHashKey& key) const { return HashOf(key) % FSize; }
  // The 32-bit hash of a key.
  virtual uint32_t KeyHash(const TprmHashKey& key) const = 0;
  // The item after current in iteration order, scanning buckets from pos (advanced past each
  // bucket looked at); null at the end.
  virtual TprmHashItem* NextItem(uint32_t& pos, TprmHashItem* current) const;
  // Called at the end of `Add`.
  virtual void DoItemAdded(TprmHashItem* /*item*/) {}

  // The hash used by lists keyed by integers: the key as a 64-bit integer cut to its low
  // 32 bits (a non-integer key raises EConvertError).
  static uint32_t IntegerKeyHash(const TprmHashKey& key) {
    return static_cast<uint32_t>(static_cast<uint64_t>(key.AsInt64()));
  }

 private:
  std::vector<std::unique_ptr<TprmHashItem>> Buckets;
  uint32_t FSize;
  TprmHashItem* FLastFind = nullptr;
  TprmHashItem* FCurrent = nullptr;
  uint32_t FCurrentPos = 0;
  int FCount = 0;
};

}  // namespace qm
