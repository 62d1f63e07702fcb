#include "protocol/vsk_items.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "protocol/vsk_filer.h"
#include "support/buffer.h"
#include "support/exception.h"
#include "support/utf16.h"

namespace qm {

namespace {

std::u16string Utf16FromLeBytes(std::string_view bytes) {
  std::u16string text(bytes.size() / 2, u'\0');
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(text.data(), bytes.data(), text.size() * sizeof(char16_t));
    return text;
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    text[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                    (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  }
  return text;
}

void WriteWholeFile(const std::string& file_name, std::string_view bytes) {
  std::ofstream file(file_name, std::ios::binary | std::ios::trunc);
  if (!file) {
    throw EprmException("Cannot create file \"" + file_name + "\"");
  }
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!file) {
    throw EprmException("Cannot write file \"" + file_name + "\"");
  }
}

}  // namespace

// --- TprmCustomProfile ---

const TPropList& TprmCustomProfile::Properties() const {
  static const TPropList empty;
  return empty;
}

std::string TprmCustomProfile::SaveToString() {
  FProfileState |= psSaving;
  std::string text;
  try {
    DoBeforeSave();
    TVSKWriter writer;
    PrepareFiler(writer);
    writer.Process(*this);
    text = writer.TakeText();
    FProfileState &= static_cast<std::uint8_t>(~psChanged);
  } catch (...) {
    FProfileState &= static_cast<std::uint8_t>(~psSaving);
    DoAfterSave(true);
    throw;
  }
  FProfileState &= static_cast<std::uint8_t>(~psSaving);
  DoAfterSave(false);
  return text;
}

std::string TprmCustomProfile::SaveToBytes() {
  return Utf8ToUtf16Le(SaveToString());
}

void TprmCustomProfile::LoadFromUtf16(std::u16string_view text) {
  FProfileState |= psLoading;
  try {
    DoBeforeLoad();
    Clear();
    TVSKReader reader(text);
    PrepareFiler(reader);
    reader.Process(*this);
    FProfileState &= static_cast<std::uint8_t>(~psChanged);
  } catch (...) {
    FProfileState &= static_cast<std::uint8_t>(~psLoading);
    DoAfterLoad(true);
    throw;
  }
  FProfileState &= static_cast<std::uint8_t>(~psLoading);
  DoAfterLoad(false);
}

void TprmCustomProfile::LoadFromBytes(std::string_view bytes) {
  LoadFromUtf16(Utf16FromLeBytes(bytes));
}

void TprmCustomProfile::SaveToStream(TStream& stream) {
  std::string bytes = SaveToBytes();
  stream.WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
}

void TprmCustomProfile::LoadFromStream(TStream& stream) {
  std::string bytes;
  char chunk[8192];
  for (;;) {
    std::int64_t got = stream.Read(chunk, sizeof(chunk));
    if (got <= 0) {
      break;
    }
    bytes.append(chunk, static_cast<std::size_t>(got));
  }
  LoadFromBytes(bytes);
}

void TprmCustomProfile::LoadFromString(std::string_view text) {
  if (!text.empty()) {
    LoadFromUtf16(Utf8ToUtf16(text));
  }
}

void TprmCustomProfile::LoadFromFile(const std::string& file_name) {
  if (!std::filesystem::exists(file_name)) {
    return;
  }
  std::ifstream file(file_name, std::ios::binary);
  if (!file) {
    throw EprmException("Cannot open file \"" + file_name + "\"");
  }
  std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  LoadFromBytes(bytes);
}

void TprmCustomProfile::SafeLoadFromFile(const std::string& file_name) {
  try {
    LoadFromFile(file_name);
  } catch (const std::exception&) {
    Clear();
  }
}

void TprmCustomProfile::SaveToFile(const std::string& file_name) {
  WriteWholeFile(file_name, SaveToBytes());
}

void TprmCustomProfile::CompressToFile(const std::string& file_name) {
  std::string compressed = ZCompress(SaveToBytes());
  WriteWholeFile(file_name, compressed);
}

// --- TVSKItem ---

int TVSKItem::ItemIndex() const {
  return FItems == nullptr ? -1 : FItems->IndexOf(this);
}

void TVSKItem::SetItemIndex(int index) {
  if (FItems != nullptr) {
    FItems->Move(FItems->IndexOf(this), index);
  }
}

// --- TVSKItems ---

TVSKItems::~TVSKItems() {
  for (TVSKItem* item : FList) {
    if (FOwnsObjects) {
      FreeItem(item);
    } else {
      Detach(item);
    }
  }
}

void TVSKItems::FreeItem(TVSKItem* item) {
  std::unique_ptr<TVSKItem> owned(item);
}

void TVSKItems::Detach(TVSKItem* item) {
  // An item that leaves the list must not point at it any more (the list may go first).
  if (item != nullptr && item->FItems == this) {
    item->FItems = nullptr;
  }
}

void TVSKItems::CheckOwning() const {
  if (!FOwnsObjects) {
    throw EprmException("List does not own its items");
  }
}

TVSKItem* TVSKItems::GetItem(int index) const {
  return FList.at(static_cast<std::size_t>(index));
}

void TVSKItems::SetItem(int index, TVSKItem* item) {
  TVSKItem*& slot = FList.at(static_cast<std::size_t>(index));
  if (slot == item) {
    return;
  }
  TVSKItem* old = slot;
  slot = item;
  if (FOwnsObjects) {
    FreeItem(old);
  } else {
    Detach(old);
  }
  Update();
}

int TVSKItems::Add(TVSKItem* item) {
  FList.push_back(item);
  int index = Count() - 1;
  Added(index, item);
  Update();
  return index;
}

void TVSKItems::Insert(int index, TVSKItem* item) {
  if (index < 0 || index > Count()) {
    throw std::out_of_range("List index out of bounds");
  }
  FList.insert(FList.begin() + index, item);
  Added(index, item);
  Update();
}

void TVSKItems::Added(int /*index*/, TVSKItem* item) {
  item->FItems = this;
}

void TVSKItems::Delete(int index) {
  TVSKItem* item = FList.at(static_cast<std::size_t>(index));
  FList.erase(FList.begin() + index);
  if (FOwnsObjects) {
    FreeItem(item);
  } else {
    Detach(item);
  }
  Deleted(index);
  Update();
}

int TVSKItems::Remove(TVSKItem* item) {
  int index = IndexOf(item);
  if (index >= 0) {
    Delete(index);
  }
  return index;
}

TVSKItem* TVSKItems::Extract(TVSKItem* item) {
  int index = IndexOf(item);
  if (index < 0) {
    return nullptr;
  }
  FList.erase(FList.begin() + index);
  Detach(item);
  Update();
  return item;
}

void TVSKItems::Move(int cur_index, int new_index) {
  if (cur_index == new_index) {
    return;
  }
  TVSKItem* item = FList.at(static_cast<std::size_t>(cur_index));
  if (new_index < 0 || new_index >= Count()) {
    throw std::out_of_range("List index out of bounds");
  }
  FList.erase(FList.begin() + cur_index);
  FList.insert(FList.begin() + new_index, item);
  Update();
}

void TVSKItems::Exchange(int index1, int index2) {
  std::swap(FList.at(static_cast<std::size_t>(index1)), FList.at(static_cast<std::size_t>(index2)));
  Update();
}

void TVSKItems::Sort(const std::function<int(const TVSKItem*, const TVSKItem*)>& compare) {
  std::sort(FList.begin(), FList.end(),
            [&](const TVSKItem* a, const TVSKItem* b) { return compare(a, b) < 0; });
  Update();
}

int TVSKItems::IndexOf(const TVSKItem* item) const {
  auto it = std::find(FList.begin(), FList.end(), item);
  return it == FList.end() ? -1 : static_cast<int>(it - FList.begin());
}

TVSKItem* TVSKItems::CreateItem(const std::string& class_name, const std::string& name) {
  std::unique_ptr<TVSKItem> item = DoCreateItem(class_name, name);
  if (!item) {
    return nullptr;
  }
  return Add(std::move(item));
}

void TVSKItems::Clear() {
  std::vector<TVSKItem*> items;
  items.swap(FList);
  for (TVSKItem* item : items) {
    if (FOwnsObjects) {
      FreeItem(item);
    } else {
      Detach(item);
    }
  }
  Update();
  TVSKItem::Clear();
}

}  // namespace qm
