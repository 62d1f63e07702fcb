#include "transport/library.h"

#include <dlfcn.h>

namespace qm {

namespace {

std::string WithExtension(std::string_view name) {
  std::string result(name);
  const auto slash = result.find_last_of('/');
  const std::string_view last = slash == std::string::npos
                                    ? std::string_view(result)
                                    : std::string_view(result).substr(slash + 1);
  if (last.find('.') == std::string_view::npos)
    result += ".so";
  return result;
}

// The loader's reason for the failure just seen, as " (<reason>)"; empty when it gives none.
// dlerror keeps its text per thread, so another thread's failure never shows here.
std::string LoaderReason() {
  const char* reason = ::dlerror();
  return reason == nullptr ? std::string() : " (" + std::string(reason) + ")";
}

}  // namespace

TmnLibrary::TmnLibrary(std::string_view library_name) : FLibraryName(WithExtension(library_name)) {}

TmnbLoadState TmnLibrary::Load(bool safe) {
  std::lock_guard lock(FLock);
  if (FHandle != nullptr) {
    ++FRefCount;
    return TmnbLoadState::lsLoaded;
  }
  ::dlerror();  // a reason left over from earlier calls is not this load's
  FHandle = ::dlopen(FLibraryName.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (FHandle == nullptr) {
    FRefCount = 0;
    const std::string reason = LoaderReason();
    if (!safe)
      throw EInOutError("Can not load library \"" + FLibraryName + "\". Check your installation." +
                        reason);
    return TmnbLoadState::lsFail;
  }
  FLoadedLibrary = FLibraryName;
  try {
    Link();
    Initialize();
  } catch (...) {
    Unload();
    throw;
  }
  ++FRefCount;
  return TmnbLoadState::lsInit;
}

bool TmnLibrary::IsLoaded() const {
  std::lock_guard lock(FLock);
  return FHandle != nullptr;
}

void TmnLibrary::Release() {
  std::lock_guard lock(FLock);
  if (--FRefCount > 0)
    return;
  Unload();
}

void TmnLibrary::Unload() {
  if (FHandle != nullptr)
    ::dlclose(FHandle);
  FHandle = nullptr;
  FLoadedLibrary.clear();
  FRefCount = 0;
}

void* TmnLibrary::GetAddress(const std::string& name, bool raise_error) {
  std::lock_guard lock(FLock);
  std::string reason;
  void* address = nullptr;
  if (FHandle != nullptr) {
    ::dlerror();
    address = ::dlsym(FHandle, name.c_str());
    if (address == nullptr)
      reason = LoaderReason();
  }
  if (address == nullptr) {
    if (raise_error || FRaiseError)
      throw EmnException(name + " not found in " + FLoadedLibrary + reason);
    if (!FInvalidNames.empty())
      FInvalidNames += ", ";
    FInvalidNames += name;
  }
  return address;
}

void* TmnLibrary::Handle() const {
  std::lock_guard lock(FLock);
  return FHandle;
}

std::string TmnLibrary::LoadedLibrary() const {
  std::lock_guard lock(FLock);
  return FLoadedLibrary;
}

int32_t TmnLibrary::RefCount() const {
  std::lock_guard lock(FLock);
  return FRefCount;
}

bool TmnLibrary::RaiseError() const {
  std::lock_guard lock(FLock);
  return FRaiseError;
}

void TmnLibrary::SetRaiseError(bool value) {
  std::lock_guard lock(FLock);
  FRaiseError = value;
}

std::string TmnLibrary::InvalidNames() const {
  std::lock_guard lock(FLock);
  return FInvalidNames;
}

}  // namespace qm
