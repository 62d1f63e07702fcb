#include "db/postgres/pg_quoting.h"

#include "support/exception.h"
#include "support/text_utils.h"

namespace qm {

std::string EscapeLiteralOn(PPGconn handle, std::string_view value) {
  TmncPGLib& lib = PGLib();
  if (handle != nullptr && lib.PQescapeStringConn != nullptr) {
    std::string out(value.size() * 2 + 1, '\0');
    int error = 0;
    const size_t n = lib.PQescapeStringConn(handle, out.data(), value.data(), value.size(), &error);
    if (error != 0)
      throw EprmException("Postgre command: " + PGText(lib.PQerrorMessage(handle)));
    out.resize(n);
    return out;
  }
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    if (c == '\0')
      throw EprmException("Postgre command: invalid zero byte in a string value");
    if (c == '\'')
      out += '\'';
    out += c;
  }
  return out;
}

std::string IdentifierText(std::string_view name) {
  if (IsPlainIdentifier(name))
    return std::string(name);
  return "\"" + EscapeIdentifier(name) + "\"";
}

std::string TableNameText(std::string_view name) {
  TStrings parts;
  StrToStrings(name, parts, ".");
  for (const std::string& part : parts) {
    if (!IsPlainIdentifier(part))
      return "\"" + EscapeIdentifier(name) + "\"";
  }
  return std::string(name);
}

std::string QuoteConnectionValue(std::string_view value) {
  std::string out = "'";
  for (char c : value) {
    if (c == '\'' || c == '\\')
      out += '\\';
    out += c;
  }
  out += '\'';
  return out;
}

bool IsPlainIdentifier(std::string_view name) {
  if (name.empty())
    return false;
  auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; };
  if (!letter(name[0]))
    return false;
  for (char c : name) {
    if (!letter(c) && !(c >= '0' && c <= '9') && c != '$')
      return false;
  }
  return true;
}

std::string EscapeIdentifier(std::string_view name) {
  std::string out;
  for (char c : name) {
    if (c == '"')
      out += '"';
    out += c;
  }
  return out;
}

}  // namespace qm
