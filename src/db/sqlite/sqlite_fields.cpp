#include "db/sqlite/sqlite_fields.h"

#include <limits>

#include "support/exception.h"

namespace qm {

const std::string& TmncSQLiteBind::SetBuffer(std::string bytes) {
  if (bytes.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
    throw EmncException("sqlite: parameter value is too big");
  FBufferSize = static_cast<int>(bytes.size());
  FBuffer = std::move(bytes);
  // std::string keeps a terminating zero byte after its content.
  return FBuffer;
}

void TmncSQLiteBind::FreeBuffer() {
  FBuffer = std::string();
  FBufferSize = 0;
}

std::unique_ptr<TmncBind> TmncSQLiteBinds::CreateBind(TmncParam* param) {
  auto bind = std::make_unique<TmncSQLiteBind>();
  bind->SetParam(param);
  return bind;
}

}  // namespace qm
