#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "common/temp_folder.h"
#include "support/date_time.h"
#include "support/log.h"

namespace qm {
namespace {

// Only the program's own daily files older than the kept days go; the boundary day stays.
TEST(LogRetentionTest, RemovesOnlyOwnDailyFilesOlderThanTheKeptDays) {
  testing::TempFolder folder;
  const auto touch = [&folder](const std::string& name) {
    std::ofstream(folder.File(name)) << "x";
  };
  const char* removed[] = {"qmsrv[261010].log", "qmsrv[251231].log"};
  const char* kept[] = {
      "qmsrv[261111].log",  // exactly 30 days before the 11th of December
      "qmsrv[261211].log", "qmsrv[261210].log",  "other[250101].log", "qmsrv[250101].log.gz",
      "qmsrv[2501xx].log", "qmsrv[250101]x.log", "notes.txt"};
  for (const char* name : removed)
    touch(name);
  for (const char* name : kept)
    touch(name);
  const TDateTime today = EncodeDate(2026, 12, 11) + 0.5;
  EXPECT_EQ(PruneLogFiles(folder.Path(), "qmsrv", today, 30), 2);
  for (const char* name : removed)
    EXPECT_FALSE(std::filesystem::exists(folder.File(name))) << name;
  for (const char* name : kept)
    EXPECT_TRUE(std::filesystem::exists(folder.File(name))) << name;
  // 0 keeps every file.
  EXPECT_EQ(PruneLogFiles(folder.Path(), "qmsrv", today + 1000, 0), 0);
  EXPECT_TRUE(std::filesystem::exists(folder.File("qmsrv[261111].log")));
}

}  // namespace
}  // namespace qm
