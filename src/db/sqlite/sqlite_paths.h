#pragma once

// Where a SQLite database name leads, for connections whose files must stay inside a folder.

#include <filesystem>
#include <string>

namespace qm {

// Where a database name leads when the files must stay inside Folder ("" for no such limit).
// Relative names resolve against RelativeTo. "" and ":memory:" need no file and pass as they
// are; names starting with "file:" (any case) are refused, folder or not; with a Folder, a name
// leading outside it (an absolute path elsewhere, "..", a link out of it, also a link whose
// target does not exist yet) or to the folder itself is refused; links are followed one
// component at a time, as opening the file would. Returns false with the reason in Why, else
// true with the path to open in Path.
bool ResolveSQLiteFileName(const std::string& Folder, const std::string& Name,
                           const std::filesystem::path& RelativeTo, std::string& Path,
                           std::string& Why);

}  // namespace qm
