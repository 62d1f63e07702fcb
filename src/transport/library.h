#pragma once

// TmnLibrary: loads a client library by file name at run time (dlopen) and looks up its entry
// points by name (dlsym). Each binding derives from it and fills its entry points in `Link`,
// which runs once, right after the file has been loaded.
//
// A binding lists its entry points in two X-macro lists over the library's own declarations:
// the required ones (called without a check: a file that lacks one fails to load) and the
// optional ones (callers test the member for null first). It declares its members with
// QM_DECLARE_ENTRY and binds them in `Link` with QM_BIND_REQUIRED and QM_BIND_OPTIONAL, so every
// binding treats a missing entry point the same way. Failures carry the loader's own reason
// (dlerror) after the fixed message.
//
// Thread-safety: one object may be shared between threads. Every operation holds the object's
// lock (re-entrant, so that `Link` can call `GetAddress` on the loading thread); a second
// thread that asks for the first load waits until `Link` has finished and then gets lsLoaded.

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "support/exception.h"
#include "support/object_list.h"

namespace qm {

// A library file that cannot be loaded (the platform's input/output error).
class EInOutError : public EmnException {
 public:
  using EmnException::EmnException;
};

// Whether a binding can work without an entry point.
enum class TmnEntryNeed : uint8_t {
  Required,  // a missing one raises "<name> not found in <file> (<reason>)"
  Optional,  // a missing one leaves the member null and is listed in InvalidNames
};

enum class TmnbLoadState : uint8_t {
  lsInit = 0,    // this call loaded the file and bound its entry points
  lsLoaded = 1,  // the file was already loaded
  lsFail = 2,    // the file could not be loaded
};

class TmnLibrary : public TmnObject {
 public:
  // Stores the file name, appending ".so" when its last path component has no extension.
  // Loads nothing.
  explicit TmnLibrary(std::string_view library_name);
  // Frees only the object: the file stays loaded until the process ends.
  ~TmnLibrary() override = default;

  // Loads the file when it is not loaded yet, then runs `Link` and `Initialize`. A file that
  // cannot be loaded raises EInOutError "Can not load library "<name>". Check your
  // installation. (<reason>)" or, when safe, returns lsFail. lsInit and lsLoaded add one reference.
  // An exception from `Link` passes to the caller and unloads the file again, so that the next
  // `Load` retries (and fails the same way) instead of handing out a half-bound binding.
  TmnbLoadState Load(bool safe = false);
  bool IsLoaded() const;
  // Gives up one load reference; the last one unloads the file.
  void Release();

  // The entry point named name, or null. A missing entry point raises EmnException
  // "<name> not found in <LoadedLibrary> (<reason>)" when raise_error or the RaiseError switch
  // is true, else is recorded in InvalidNames. Null when the file is not loaded (and then a
  // raised message ends with " not found in ").
  void* GetAddress(const std::string& name, bool raise_error = false);
  // The same into a function pointer, which must still be empty (else EmnException
  // "<name> address is already loaded").
  template <typename F>
  void GetAddress(F*& proc, const std::string& name, bool raise_error = false) {
    if (proc != nullptr)
      throw EmnException(name + " address is already loaded");
    proc = reinterpret_cast<F*>(GetAddress(name, raise_error));
  }

  void* Handle() const;
  const std::string& LibraryName() const { return FLibraryName; }
  std::string LoadedLibrary() const;
  int32_t RefCount() const;
  // When true, every entry point that GetAddress does not find raises.
  bool RaiseError() const;
  void SetRaiseError(bool value);
  // The names looked up and not found without raising, in lookup order, separated by ", ".
  std::string InvalidNames() const;

 protected:
  // Binds the entry points; runs once after each load of the file, under the object's lock.
  virtual void Link() {}
  // Runs right after `Link`.
  virtual void Initialize() {}

  // Binds one member in `Link`: cleared first (a load after the last Release binds anew), then
  // looked up; a required entry point that is missing raises.
  template <typename F>
  void Bind(F*& proc, const char* name, TmnEntryNeed need) {
    proc = nullptr;
    GetAddress(proc, name, need == TmnEntryNeed::Required);
  }

 private:
  void Unload();

  // Guards every field below. Re-entrant because `Link` runs under it and looks its entry points
  // up through GetAddress, which takes it again.
  mutable std::recursive_mutex FLock;
  int32_t FRefCount = 0;
  void* FHandle = nullptr;
  const std::string FLibraryName;
  std::string FLoadedLibrary;
  bool FRaiseError = false;
  std::string FInvalidNames;
};

// A binding's member for one entry point, typed after the library's declaration.
#define QM_DECLARE_ENTRY(name) decltype(&::name) name = nullptr;
// Binds one member inside a binding's `Link`.
#define QM_BIND_REQUIRED(name) Bind(name, #name, ::qm::TmnEntryNeed::Required);
#define QM_BIND_OPTIONAL(name) Bind(name, #name, ::qm::TmnEntryNeed::Optional);

}  // namespace qm
