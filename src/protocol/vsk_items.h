#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/published_properties.h"
#include "transport/stream.h"

namespace qm {

class TVSKWriter;
class TVSKReader;
class TVSKItems;

// ProfileState bits.
enum TProfileStateFlag : std::uint8_t { psChanged = 1, psLoading = 2, psSaving = 4 };

// An object that saves its published properties (and the blocks of the list filers that serve
// it) as VSK text and loads them back. VSK text is UTF-16LE without a byte-order mark on the
// wire; the string forms here carry the same text as UTF-8.
// Not thread-safe: one thread loads or saves a profile at a time.
class TprmCustomProfile {
 public:
  TprmCustomProfile() = default;
  TprmCustomProfile(const TprmCustomProfile&) = delete;
  TprmCustomProfile& operator=(const TprmCustomProfile&) = delete;
  virtual ~TprmCustomProfile() = default;

  // The name written on the object-open line.
  virtual std::string ClassName() const { return "TprmCustomProfile"; }
  // The published properties in declaration order, ancestors first.
  virtual const TPropList& Properties() const;

  std::uint8_t ProfileState() const { return FProfileState; }

  virtual void Clear() {}

  // The whole object as VSK text, as UTF-16LE bytes.
  std::string SaveToBytes();
  // Clears, then loads UTF-16LE VSK text (an odd last byte is ignored). Statements that cannot be
  // applied are logged or ignored; input that ends early leaves what was read so far.
  void LoadFromBytes(std::string_view bytes);

  // The same through a stream, from / at its current position (the stream is not owned).
  // Loading reads to the end of the stream.
  void SaveToStream(TStream& stream);
  void LoadFromStream(TStream& stream);

  // The same text as UTF-8 (the string form of the text).
  std::string SaveToString();
  // An empty text changes nothing (the object is not cleared).
  void LoadFromString(std::string_view text);

  // A missing file changes nothing.
  void LoadFromFile(const std::string& file_name);
  // As LoadFromFile, but a failure while loading clears the object instead of raising.
  void SafeLoadFromFile(const std::string& file_name);
  void SaveToFile(const std::string& file_name);
  // The UTF-16LE text through zlib (window bits 15, default level) into the file.
  void CompressToFile(const std::string& file_name);

 protected:
  virtual void DoBeforeLoad() {}
  virtual void DoAfterLoad(bool /*failed*/) {}
  virtual void DoBeforeSave() {}
  virtual void DoAfterSave(bool /*failed*/) {}
  virtual void PrepareFiler(TVSKWriter& /*filer*/) {}
  virtual void PrepareFiler(TVSKReader& /*filer*/) {}

  void SetProfileState(std::uint8_t state) { FProfileState = state; }

 private:
  void LoadFromUtf16(std::u16string_view text);

  std::uint8_t FProfileState = 0;
};

// The VSK flavour; `VSKString` is the text form.
class TVSKProfile : public TprmCustomProfile {
 public:
  std::string ClassName() const override { return "TVSKProfile"; }
  std::string VSKString() { return SaveToString(); }
  void SetVSKString(std::string_view text) { LoadFromString(text); }
};

// An item that may belong to one TVSKItems list (`Items`, not owned by the item).
class TVSKItem : public TVSKProfile {
 public:
  std::string ClassName() const override { return "TVSKItem"; }

  TVSKItems* Items() const { return FItems; }
  // Index in `Items`, or -1 without a list.
  int ItemIndex() const;
  // Moves the item within its list; nothing without a list.
  void SetItemIndex(int index);

 private:
  friend class TVSKItems;
  TVSKItems* FItems = nullptr;
};

// An ordered list of items that is itself an item. When `OwnsObjects` is set the list owns its
// items: removing, deleting, replacing or clearing frees them, and so does destroying the list.
// Items handed to Add/Insert/SetItem of an owning list pass into its ownership.
class TVSKItems : public TVSKItem {
 public:
  explicit TVSKItems(bool owns_objects = true) : FOwnsObjects(owns_objects) {}
  ~TVSKItems() override;

  std::string ClassName() const override { return "TVSKItems"; }

  int Count() const { return static_cast<int>(FList.size()); }
  // Raises std::out_of_range outside 0..Count-1.
  TVSKItem* GetItem(int index) const;
  // Replaces the item at `index` (freeing the old one when owning); the new item's list link is
  // left as it was.
  void SetItem(int index, TVSKItem* item);

  int Add(TVSKItem* item);
  // Hands a new item to an owning list; a list that does not own its items raises
  // EprmException "List does not own its items" (the item would have no owner).
  template <class T>
  T* Add(std::unique_ptr<T> item) {
    CheckOwning();
    T* raw = item.get();
    Add(static_cast<TVSKItem*>(item.release()));
    return raw;
  }
  void Insert(int index, TVSKItem* item);
  void Delete(int index);
  // -1 when absent.
  int Remove(TVSKItem* item);
  // Takes the item out without freeing it; the caller owns it from then on. Null when absent.
  TVSKItem* Extract(TVSKItem* item);
  void Move(int cur_index, int new_index);
  void Exchange(int index1, int index2);
  void Sort(const std::function<int(const TVSKItem*, const TVSKItem*)>& compare);
  int IndexOf(const TVSKItem* item) const;
  TVSKItem* First() const { return FList.empty() ? nullptr : FList.front(); }
  TVSKItem* Last() const { return FList.empty() ? nullptr : FList.back(); }

  // The item factory, then Add; null when the factory gives no item. Owning lists only.
  TVSKItem* CreateItem(const std::string& class_name, const std::string& name);

  void Clear() override;

  bool OwnsObjects() const { return FOwnsObjects; }
  void SetOwnsObjects(bool value) { FOwnsObjects = value; }

 protected:
  // Makes a new item for a class name met while loading, or null. The list takes it.
  virtual std::unique_ptr<TVSKItem> DoCreateItem(const std::string& /*class_name*/,
                                                 const std::string& /*name*/) {
    return nullptr;
  }
  virtual void Deleted(int /*index*/) {}
  virtual void Added(int index, TVSKItem* item);
  virtual void Update() {}

 private:
  void FreeItem(TVSKItem* item);
  void Detach(TVSKItem* item);
  void CheckOwning() const;

  std::vector<TVSKItem*> FList;  // owned when FOwnsObjects
  bool FOwnsObjects;
};

}  // namespace qm
