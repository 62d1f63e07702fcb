#pragma once

// Base objects and the typed object lists that carry most collections of the system:
// `TmnObjectList` (ordered, usually owning, with change hooks), `TprmObjectList` (adds sorting
// with a given comparison and removal by test; support/object_list_json.h gives its JSON view),
// `TmnNamedObjectList` (adds lookup by name ignoring case) and `TmnNameValueObjectList` (name and
// value pairs).
//
// None of these lists locks: an owner that shares one between threads serialises every use.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeinfo>
#include <unordered_map>
#include <utility>
#include <vector>

#include "support/exception.h"

namespace qm {

// The platform's argument-out-of-range error: an index outside a list.
class EArgumentOutOfRangeException : public Exception {
 public:
  EArgumentOutOfRangeException() : Exception("Argument out of range") {}
};

// The platform's not-implemented error: a virtual operation that a class did not provide.
class ENotImplemented : public Exception {
 public:
  using Exception::Exception;
};

// Lower-cases ASCII letters only; other bytes (including UTF-8 sequences) stay as they are.
std::string LowerCaseName(std::string_view name);
// Equality of two names without regard to the case of ASCII letters.
bool SameName(std::string_view left, std::string_view right);
// The class name of a type without the "qm::" and anonymous-namespace qualifiers
// ("TmnObjectList<TField>"), for messages that name the class.
std::string ClassNameOf(const std::type_info& type);

// Root object of the family. `Created` runs once right after construction when the object is
// made through `MakeObject` (a constructor cannot dispatch to an override).
class TmnObject {
 public:
  TmnObject() = default;
  TmnObject(const TmnObject&) = delete;
  TmnObject& operator=(const TmnObject&) = delete;
  virtual ~TmnObject() = default;

  template <typename T, typename... Args>
  friend std::unique_ptr<T> MakeObject(Args&&... args);

 protected:
  virtual void Created() {}
};

// Constructs a T and runs its `Created` hook.
template <typename T, typename... Args>
std::unique_ptr<T> MakeObject(Args&&... args) {
  auto object = std::make_unique<T>(std::forward<Args>(args)...);
  static_cast<TmnObject&>(*object).Created();
  return object;
}

class TmnNamedObject : public TmnObject {
 public:
  TmnNamedObject() = default;
  explicit TmnNamedObject(std::string name) : FName(std::move(name)) {}

  const std::string& Name() const { return FName; }
  virtual void SetName(const std::string& value) { FName = value; }

 protected:
  std::string FName;
};

class TmnNameValueObject : public TmnNamedObject {
 public:
  TmnNameValueObject() = default;
  TmnNameValueObject(std::string name, std::string value)
      : TmnNamedObject(std::move(name)), FValue(std::move(value)) {}

  const std::string& Value() const { return FValue; }
  virtual void SetValue(const std::string& value) { FValue = value; }

  // Copies name and value; an object that is not a TmnNameValueObject raises
  // EmnException "Invalide assign class".
  virtual void Assign(const TmnObject& from) {
    auto* source = dynamic_cast<const TmnNameValueObject*>(&from);
    if (source == nullptr)
      throw EmnException("Invalide assign class");
    SetName(source->Name());
    SetValue(source->Value());
  }

  // An empty T (default-constructed) with `from` assigned to it.
  template <typename T = TmnNameValueObject>
  static std::unique_ptr<T> CreateFrom(const TmnObject& from) {
    auto object = MakeObject<T>();
    object->Assign(from);
    return object;
  }

 protected:
  std::string FValue;
};

// What happened to an item, as told to `TmnObjectList::Notify`.
enum class TmnListAction { Added, Extracted, Deleted };

// An ordered list of T pointers that owns its items unless created otherwise.
// Ownership: an owning list frees an item when it is deleted, removed, cleared or when the list
// is destroyed; `Extract` hands an item back without freeing it (the caller then owns it).
// Hooks: `DoAdded` after an item is added or inserted; `DoRemoving` when an item has been
// extracted or removed, before an owning list frees it. Moving, exchanging and sorting items
// do not notify. Destruction frees the items without calling the hooks of derived classes.
template <typename T>
class TmnObjectList {
 public:
  using value_type = T*;
  using const_iterator = typename std::vector<T*>::const_iterator;

  explicit TmnObjectList(bool owns_objects = true) : FOwnsObjects(owns_objects) {}
  TmnObjectList(const TmnObjectList&) = delete;
  TmnObjectList& operator=(const TmnObjectList&) = delete;
  virtual ~TmnObjectList() {
    if (FOwnsObjects) {
      for (T* item : FItems)
        std::default_delete<T>()(item);
    }
  }

  bool OwnsObjects() const { return FOwnsObjects; }
  void SetOwnsObjects(bool value) { FOwnsObjects = value; }
  int Count() const { return static_cast<int>(FItems.size()); }
  bool Empty() const { return FItems.empty(); }

  // Appends and returns the item. An owning list takes ownership of the pointer.
  T* Add(T* item) { return Insert(Count(), item); }
  // Appends an item the caller owned; the list must own its items (else EmnException, and
  // the item is freed with the argument).
  T* Add(std::unique_ptr<T> item) { return Insert(Count(), std::move(item)); }

  T* Insert(int index, T* item) {
    if (index < 0 || index > Count())
      throw EArgumentOutOfRangeException();
    FItems.insert(FItems.begin() + index, item);
    Notify(item, TmnListAction::Added);
    return item;
  }
  T* Insert(int index, std::unique_ptr<T> item) {
    RequireOwning();
    if (index < 0 || index > Count())
      throw EArgumentOutOfRangeException();
    return Insert(index, item.release());
  }

  // Removes the item without freeing it: returns it, or null when it is not in the list.
  T* Extract(T* item) {
    int index = IndexOf(item);
    if (index < 0)
      return nullptr;
    FItems.erase(FItems.begin() + index);
    Notify(item, TmnListAction::Extracted);
    return item;
  }
  // `Extract` of an owning list, with the ownership handed back explicitly.
  std::unique_ptr<T> ExtractOwned(T* item) {
    RequireOwning();
    return std::unique_ptr<T>(Extract(item));
  }

  // Removes the item at index, freeing it when owning.
  void Delete(int index) {
    if (index < 0 || index >= Count())
      throw EArgumentOutOfRangeException();
    T* item = FItems[index];
    FItems.erase(FItems.begin() + index);
    Notify(item, TmnListAction::Deleted);
    Free(item);
  }
  // Removes the item found by identity, freeing it when owning; returns its former index or -1.
  int Remove(T* item) {
    int index = IndexOf(item);
    if (index >= 0)
      Delete(index);
    return index;
  }

  // Removes every item (in index order), freeing them when owning.
  virtual void Clear() {
    std::vector<T*> items;
    items.swap(FItems);
    for (T* item : items)
      Notify(item, TmnListAction::Deleted);
    for (T* item : items)
      Free(item);
  }

  int IndexOf(const T* item) const {
    auto it = std::find(FItems.begin(), FItems.end(), item);
    return it == FItems.end() ? -1 : static_cast<int>(it - FItems.begin());
  }
  // -1 when item is not a T or not in the list.
  template <typename U>
  int IndexOfObject(const U* item) const {
    if constexpr (std::is_convertible_v<const U*, const T*>) {
      return IndexOf(item);
    } else if constexpr (std::is_polymorphic_v<U>) {
      return IndexOf(dynamic_cast<const T*>(item));
    } else {
      return -1;
    }
  }

  // Null when index is outside the list.
  T* Peek(int index) const {
    return index >= 0 && index < Count() ? FItems[static_cast<std::size_t>(index)] : nullptr;
  }
  T* First() const { return Empty() ? nullptr : FItems.front(); }
  T* Last() const { return Empty() ? nullptr : FItems.back(); }

  // An index outside the list raises EArgumentOutOfRangeException.
  T* Items(int index) const {
    if (index < 0 || index >= Count())
      throw EArgumentOutOfRangeException();
    return FItems[static_cast<std::size_t>(index)];
  }
  T* operator[](int index) const { return Items(index); }
  // Replaces the item at index; an owning list frees the old one.
  void SetItems(int index, T* item) {
    if (index < 0 || index >= Count())
      throw EArgumentOutOfRangeException();
    T* old = FItems[static_cast<std::size_t>(index)];
    if (old == item)
      return;
    FItems[static_cast<std::size_t>(index)] = item;
    Notify(old, TmnListAction::Deleted);
    Free(old);
    Notify(item, TmnListAction::Added);
  }

  // Moves an item from one index to another, shifting those in between (no notification).
  void Move(int current_index, int new_index) {
    if (current_index == new_index)
      return;
    if (current_index < 0 || current_index >= Count() || new_index < 0 || new_index >= Count())
      throw EArgumentOutOfRangeException();
    T* item = FItems[current_index];
    FItems.erase(FItems.begin() + current_index);
    FItems.insert(FItems.begin() + new_index, item);
  }
  void Exchange(int index1, int index2) {
    if (index1 < 0 || index1 >= Count() || index2 < 0 || index2 >= Count())
      throw EArgumentOutOfRangeException();
    std::swap(FItems[index1], FItems[index2]);
  }

  // Sorts the whole list with `Compare` (stable: equal items keep their order).
  void QuickSort() {
    std::stable_sort(FItems.begin(), FItems.end(),
                     [this](T* left, T* right) { return Compare(left, right) < 0; });
  }

  // Walks the items by index from 0.
  const_iterator begin() const { return FItems.begin(); }
  const_iterator end() const { return FItems.end(); }

 protected:
  // Every change passes here; derived lists that keep an index of their items override it and
  // call the base, which dispatches to the hooks.
  virtual void Notify(T* item, TmnListAction action) {
    if (action == TmnListAction::Added) {
      DoAdded(item);
    } else {
      DoRemoving(item, action);
    }
  }
  virtual void DoRemoving(T* /*item*/, TmnListAction /*action*/) {}
  virtual void DoAdded(T* /*item*/) {}
  // The comparison used by `QuickSort`: negative, zero or positive.
  virtual int Compare(T* /*left*/, T* /*right*/) {
    throw ENotImplemented(ClassNameOf(typeid(*this)) + ".Compare");
  }

  std::vector<T*>& RawItems() { return FItems; }

 private:
  void Free(T* item) {
    if (FOwnsObjects)
      std::default_delete<T>()(item);
  }
  void RequireOwning() const {
    if (!FOwnsObjects)
      throw EmnException("List does not own its items");
  }

  std::vector<T*> FItems;
  bool FOwnsObjects;
};

// Adds sorting with a given comparison, removal by test, identity-based exchange and deletion.
template <typename T>
class TprmObjectList : public TmnObjectList<T> {
 public:
  using Base = TmnObjectList<T>;
  using Base::Base;
  using Base::Delete;
  using Base::QuickSort;
  // Negative, zero or positive, like `Compare`.
  using CompareProc = std::function<int(T* left, T* right)>;
  using CheckProc = std::function<bool(T* item)>;

  void QuickSort(const CompareProc& proc) {
    auto& items = this->RawItems();
    std::stable_sort(items.begin(), items.end(),
                     [&proc](T* left, T* right) { return proc(left, right) < 0; });
    DoSorted();
  }
  bool AcceptIndex(int index) const { return index >= 0 && index < this->Count(); }
  // Swaps when the indexes differ and both are inside the list; otherwise nothing.
  void ExchangeItems(int index1, int index2) {
    if (index1 != index2 && AcceptIndex(index1) && AcceptIndex(index2))
      this->Exchange(index1, index2);
  }
  void ExchangeItems(T* item1, T* item2) {
    ExchangeItems(this->IndexOf(item1), this->IndexOf(item2));
  }

  void Clear() override {
    Base::Clear();
    DoCleared();
  }
  // Removes the item found by identity, freeing it when owning; nothing when absent.
  void Delete(T* item) { this->Remove(item); }
  // Asks check for every item from the last to the first and removes each one it accepts.
  void RemoveItems(const CheckProc& check) {
    for (int i = this->Count() - 1; i >= 0; --i) {
      if (i < this->Count() && check(this->Items(i)))
        Base::Delete(i);
    }
  }

 protected:
  virtual void DoCleared() {}
  virtual void DoSorted() {}
};

// Adds lookup by name ignoring case. With a dictionary (dic_size > 0), names are entered
// lower-cased when items are added (a later item replaces an earlier one of the same name) and
// removed when items leave the list; renaming an item after adding it does not re-enter it.
// Without one, `Find` takes the first item in list order whose name matches.
template <typename T>
class TmnNamedObjectList : public TprmObjectList<T> {
 public:
  using Base = TprmObjectList<T>;

  explicit TmnNamedObjectList(std::size_t dic_size = 0, bool free_objects = true)
      : Base(free_objects) {
    if (dic_size > 0) {
      FDictionary = std::make_unique<std::unordered_map<std::string, T*>>();
      FDictionary->reserve(dic_size);
    }
  }

  bool HasDictionary() const { return FDictionary != nullptr; }

  // Null when absent; an empty name finds nothing.
  T* Find(std::string_view name) const {
    if (name.empty())
      return nullptr;
    if (FDictionary) {
      auto it = FDictionary->find(LowerCaseName(name));
      return it == FDictionary->end() ? nullptr : it->second;
    }
    for (T* item : *this) {
      if (SameName(item->Name(), name))
        return item;
    }
    return nullptr;
  }
  int IndexOfName(std::string_view name) const {
    T* item = Find(name);
    return item == nullptr ? -1 : this->IndexOf(item);
  }
  T* Item(std::string_view name) const { return Find(name); }
  using Base::Items;

 protected:
  void Notify(T* item, TmnListAction action) override {
    if (FDictionary) {
      if (action == TmnListAction::Added) {
        (*FDictionary)[LowerCaseName(item->Name())] = item;
      } else {
        Unindex(item);
      }
    }
    Base::Notify(item, action);
  }

 private:
  // The entry of a leaving item must go even when the item was renamed since it was added (the
  // dictionary would otherwise hand out a freed item). When that entry was the newest of
  // several items of the same name, the newest remaining one takes its place.
  void Unindex(T* item) {
    std::string key = LowerCaseName(item->Name());
    auto it = FDictionary->find(key);
    if (it == FDictionary->end() || it->second != item) {
      it = std::find_if(FDictionary->begin(), FDictionary->end(),
                        [item](const auto& entry) { return entry.second == item; });
      if (it == FDictionary->end())
        return;
      key = it->first;
    }
    FDictionary->erase(it);
    for (auto r = this->RawItems().rbegin(); r != this->RawItems().rend(); ++r) {
      if (*r != item && LowerCaseName((*r)->Name()) == key) {
        FDictionary->emplace(key, *r);
        break;
      }
    }
  }

  std::unique_ptr<std::unordered_map<std::string, T*>> FDictionary;
};

// Lists of name and value pairs. T is constructible from (name, value).
template <typename T>
class TmnNameValueObjectList : public TmnNamedObjectList<T> {
 public:
  using Base = TmnNamedObjectList<T>;
  using Base::Add;
  using Base::Base;

  bool FAutoRemove = false;

  // Appends a new pair without looking for an existing name.
  T* Add(const std::string& name, const std::string& value) {
    return Base::Add(MakeObject<T>(name, value));
  }
  T* Add(const std::string& name, const char* value) { return Add(name, std::string(value)); }
  T* Add(const std::string& name, int32_t value) { return Add(name, std::to_string(value)); }
  // True is "-1", false "0".
  T* Add(const std::string& name, bool value) { return Add(name, std::string(value ? "-1" : "0")); }

  T* AddIf(bool condition, const std::string& name, const std::string& value) {
    return condition ? Add(name, value) : nullptr;
  }
  // Adds only a non-empty value.
  T* AddIf(const std::string& name, const std::string& value) {
    return AddIf(!value.empty(), name, value);
  }

  // The value of the item found by name, or "".
  std::string Values(std::string_view name) const {
    T* item = this->Find(name);
    return item == nullptr ? std::string() : item->Value();
  }
  // Sets the value of the found item or adds one; with FAutoRemove an empty value removes the
  // found item instead.
  void SetValues(const std::string& name, const std::string& value) {
    T* item = this->Find(name);
    if (FAutoRemove && value.empty()) {
      if (item != nullptr)
        this->Remove(item);
    } else if (item != nullptr) {
      item->SetValue(value);
    } else {
      Add(name, value);
    }
  }
};

}  // namespace qm
