// The listener's TLS context: made at start from the certificate settings, made anew when the
// certificate file changes, given to every accepted socket.

#include <chrono>
#include <filesystem>

#include "support/text_utils.h"
#include "transport/server.h"
#include "transport/tls.h"

namespace qm {

namespace {

constexpr std::string_view kSystemPrefix = "system:";
constexpr std::string_view kPFXPrefix = "pfx:";

bool HasPrefix(const std::string& Text, std::string_view Prefix) {
  return Text.size() >= Prefix.size() && SameText(Text.substr(0, Prefix.size()), Prefix);
}

std::uint64_t NowMs() {
  using namespace std::chrono;
  return static_cast<std::uint64_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace

std::string CertificateFilePath(const std::string& CertificateFile) {
  if (HasPrefix(CertificateFile, kPFXPrefix))
    return CertificateFile.substr(kPFXPrefix.size());
  return CertificateFile;
}

bool IsSystemStoreCertificate(const std::string& CertificateFile) {
  return HasPrefix(CertificateFile, kSystemPrefix);
}

const char* const kSystemStoreReason =
    "names a certificate store of the system, which this server cannot read; name a PEM "
    "certificate file (with PrivateKeyFile) or a PFX bundle";

std::string SystemStoreRefusal(const std::string& CertificateFile) {
  return "CertificateFile: \"" + CertificateFile + "\" " + kSystemStoreReason;
}

bool IsPFXCertificate(const std::string& CertificateFile) {
  return HasPrefix(CertificateFile, kPFXPrefix) ||
         SameText(std::filesystem::path(CertificateFile).extension().string(), ".pfx");
}

void TmnListener::PrepareContext() {
  if (FOptions.Contains(soSSL))
    ReloadContext();
}

void TmnListener::FreeContext() {
  Context.reset();
}

void TmnListener::ReloadContext() {
  if (!FOptions.Contains(soSSL))
    return;
  if (IsSystemStoreCertificate(CertificateFile))
    throw EmnOpenSSLException(SystemStoreRefusal(CertificateFile));
  const std::string path = CertificateFilePath(CertificateFile);
  std::error_code ec;
  const auto date = std::filesystem::last_write_time(path, ec);
  std::shared_ptr<TContext> context = TContext::CreateServer();
  if (IsPFXCertificate(CertificateFile))
    context->LoadPFXFile(path, CertPassword);
  else
    context->LoadFullChainFile(path, PrivateKeyFile);
  // Sessions being made from the old context keep it alive until they end.
  Context = std::move(context);
  CertificateFileDate = ec ? std::filesystem::file_time_type{} : date;
}

void TmnListener::ChangeCertificates(std::string Certificate, std::string Key,
                                     std::string Password) {
  TLockGuard lock(FChangedLock);
  FChanged = TCertificates{std::move(Certificate), std::move(Key), std::move(Password)};
}

void TmnListener::TakeChangedCertificates() {
  std::optional<TCertificates> changed;
  {
    TLockGuard lock(FChangedLock);
    changed.swap(FChanged);
  }
  if (!changed)
    return;
  TCertificates old{CertificateFile, PrivateKeyFile, CertPassword};
  CertificateFile = changed->Certificate;
  PrivateKeyFile = changed->Key;
  CertPassword = changed->Password;
  try {
    ReloadContext();
    Log("Certificate reloaded: " + CertificateFile);
  } catch (const Exception& e) {
    CertificateFile = old.Certificate;
    PrivateKeyFile = old.Key;
    CertPassword = old.Password;
    Log(e.Message() + "; the certificate loaded before stays");
  }
}

void TmnListener::CheckCertificate() {
  if (!FOptions.Contains(soSSL))
    return;
  TakeChangedCertificates();
  const std::uint64_t now = NowMs();
  if (FLastCheck != 0 && now - FLastCheck < static_cast<std::uint64_t>(CertificateCheckInterval))
    return;
  FLastCheck = now;
  std::error_code ec;
  const auto date = std::filesystem::last_write_time(CertificateFilePath(CertificateFile), ec);
  if (ec || date == CertificateFileDate)
    return;
  try {
    ReloadContext();
    Log("Certificate reloaded: " + CertificateFile);
  } catch (const Exception& e) {
    // A file caught half-written, say: keep serving with the certificate loaded before and
    // try again at the next check.
    Log(e.Message());
  }
}

}  // namespace qm
