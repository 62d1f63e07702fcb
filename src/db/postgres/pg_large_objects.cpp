// Large objects: copy between connections, export to and import from streams and files.
// Descriptors live only inside a transaction, so every operation runs in one.

#include <array>
#include <filesystem>
#include <fstream>

#include "db/postgres/pg_connection.h"

namespace qm {

namespace {

constexpr int kLargeObjectChunk = 2048;

EprmException LibraryError(PPGconn handle) {
  return EprmException("Postgre command: " + PGText(PGLib().PQerrorMessage(handle)));
}

// Large-object descriptors live only inside a transaction. Inside the connection's open
// transaction the calls simply join it; otherwise this scope begins a short one, committed by
// Commit() and rolled back when the scope is left without it.
class TPGLargeObjectScope {
 public:
  explicit TPGLargeObjectScope(TmncPGConnection& connection) : FConnection(connection) {
    connection.CheckConnected();
    if (PGLib().PQtransactionStatus(connection.Handle()) == PQTRANS_IDLE) {
      connection.DirectExecute("begin");
      FOwn = true;
    }
  }
  TPGLargeObjectScope(const TPGLargeObjectScope&) = delete;
  TPGLargeObjectScope& operator=(const TPGLargeObjectScope&) = delete;
  ~TPGLargeObjectScope() {
    if (!FOwn)
      return;
    try {
      PPGresult result = PGLib().PQexec(FConnection.Handle(), "rollback");
      FConnection.ClearStatement(result);
    } catch (...) {
      // Destruction never throws; the server ends the transaction with the session anyway.
    }
  }
  void Commit() {
    if (FOwn) {
      FOwn = false;
      FConnection.DirectExecute("commit");
    }
  }

 private:
  TmncPGConnection& FConnection;
  bool FOwn = false;
};

// Closes a large-object descriptor when left.
class TPGLargeObject {
 public:
  TPGLargeObject(PPGconn handle, Oid oid, int mode)
      : FHandle(handle), FFd(PGLib().lo_open(handle, oid, mode)) {}
  TPGLargeObject(const TPGLargeObject&) = delete;
  TPGLargeObject& operator=(const TPGLargeObject&) = delete;
  ~TPGLargeObject() {
    if (FFd >= 0)
      PGLib().lo_close(FHandle, FFd);
  }
  bool IsOpen() const { return FFd >= 0; }
  int Fd() const { return FFd; }

 private:
  PPGconn FHandle;
  int FFd;
};

// Reads `source` to its end into `target`, in chunks. Raises on a library failure.
std::int64_t CopyLargeObject(PPGconn source_handle, const TPGLargeObject& source,
                             PPGconn target_handle, const TPGLargeObject& target) {
  TmncPGLib& lib = PGLib();
  std::array<char, kLargeObjectChunk> buffer;
  std::int64_t total = 0;
  for (;;) {
    const int n = lib.lo_read(source_handle, source.Fd(), buffer.data(), buffer.size());
    if (n < 0)
      throw LibraryError(source_handle);
    if (n > 0 && lib.lo_write(target_handle, target.Fd(), buffer.data(), n) != n)
      throw LibraryError(target_handle);
    total += n;
    if (n < kLargeObjectChunk)
      return total;
  }
}

class TFileByteSink : public IByteSink {
 public:
  explicit TFileByteSink(std::ofstream& file) : FFile(file) {}
  std::int64_t Write(const void* buffer, std::int64_t count) override {
    FFile.write(static_cast<const char*>(buffer), count);
    return FFile ? count : 0;
  }

 private:
  std::ofstream& FFile;
};

class TFileByteSource : public IByteSource {
 public:
  explicit TFileByteSource(std::ifstream& file) : FFile(file) {}
  std::int64_t Read(void* buffer, std::int64_t count) override {
    FFile.read(static_cast<char*>(buffer), count);
    return FFile.gcount();
  }

 private:
  std::ifstream& FFile;
};

}  // namespace

Oid TmncPGConnection::loCopy(TmncPGConnection& source, Oid oid) {
  TmncPGLib& lib = PGLib();
  TPGLargeObjectScope source_scope(source);
  std::unique_ptr<TPGLargeObjectScope> target_scope;
  if (&source != this)
    target_scope = std::make_unique<TPGLargeObjectScope>(*this);
  // Open the source first: a missing source creates nothing.
  std::unique_ptr<TPGLargeObject> from;
  if (oid != InvalidOid)
    from = std::make_unique<TPGLargeObject>(source.Handle(), oid, INV_READ_MODE);
  if (!from || !from->IsOpen())
    return 0;
  const Oid created = lib.lo_creat(Handle(), INV_READ_WRITE_MODE);
  if (created == InvalidOid)
    return 0;
  {
    TPGLargeObject to(Handle(), created, INV_READ_WRITE_MODE);
    if (!to.IsOpen())
      throw LibraryError(Handle());
    CopyLargeObject(source.Handle(), *from, Handle(), to);
  }
  from.reset();
  if (target_scope)
    target_scope->Commit();
  source_scope.Commit();
  return created;
}

Oid TprmPGConnection::loCopy(Oid oid) {
  return TmncPGConnection::loCopy(*this, oid);
}

std::int64_t TprmPGConnection::loExport(Oid oid, IByteSink& stream) {
  if (oid == InvalidOid)
    return 0;
  TPGLargeObjectScope scope(*this);
  std::int64_t total = 0;
  {
    TPGLargeObject object(Handle(), oid, INV_READ_MODE);
    if (!object.IsOpen())
      return -1;
    TmncPGLib& lib = PGLib();
    std::array<char, kLargeObjectChunk> buffer;
    for (;;) {
      const int n = lib.lo_read(Handle(), object.Fd(), buffer.data(), buffer.size());
      if (n < 0)
        throw LibraryError(Handle());
      if (n > 0 && stream.Write(buffer.data(), n) != n)
        throw EprmException("Large object export: the stream refused the data");
      total += n;
      if (n < kLargeObjectChunk)
        break;
    }
  }
  scope.Commit();
  return total;
}

std::int64_t TprmPGConnection::loExportFile(Oid oid, const std::string& file_name) {
  std::ofstream file(file_name, std::ios::binary | std::ios::trunc);
  if (!file)
    throw EprmException("Cannot create file \"" + file_name + "\"");
  TFileByteSink sink(file);
  return loExport(oid, sink);
}

Oid TprmPGConnection::loImport(IByteSource& stream, Oid oid) {
  TmncPGLib& lib = PGLib();
  TPGLargeObjectScope scope(*this);
  if (oid != InvalidOid) {
    Execute("select lo_create(" + std::to_string(oid) + ")");
  } else {
    oid = lib.lo_creat(Handle(), INV_READ_WRITE_MODE);
    if (oid == InvalidOid)
      throw LibraryError(Handle());
  }
  {
    TPGLargeObject object(Handle(), oid, INV_WRITE_MODE);
    if (!object.IsOpen())
      throw LibraryError(Handle());
    std::array<char, kLargeObjectChunk> buffer;
    for (;;) {
      const std::int64_t n = stream.Read(buffer.data(), kLargeObjectChunk);
      if (n <= 0)
        break;
      if (lib.lo_write(Handle(), object.Fd(), buffer.data(), static_cast<size_t>(n)) != n)
        throw LibraryError(Handle());
      if (n < kLargeObjectChunk)
        break;
    }
  }
  scope.Commit();
  return oid;
}

Oid TprmPGConnection::loImportFile(const std::string& file_name, Oid oid) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(file_name, error))
    return 0;
  std::ifstream file(file_name, std::ios::binary);
  if (!file)
    return 0;
  TFileByteSource source(file);
  return loImport(source, oid);
}

int TprmPGConnection::loUnlink(Oid oid) {
  CheckConnected();
  return PGLib().lo_unlink(Handle(), oid);
}

}  // namespace qm
