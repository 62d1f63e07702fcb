// Loading the Firebird client library, without a server.

#include <gtest/gtest.h>

#include "common/message_of.h"
#include "db/firebird/fb_connection.h"

namespace qm {
namespace {

using qm::testing::MessageOf;

TEST(FirebirdLibrary, MissingClientLibraryGivesTheLoaderError) {
  TmncFBLib missing("libfbclient-missing.so.9");
  EXPECT_EQ(MessageOf([&] { TmncFBConnection connection(missing); }),
            "Can not load library \"libfbclient-missing.so.9\". Check your installation. "
            "(libfbclient-missing.so.9: cannot open shared object file: No such file or "
            "directory)");
}

}  // namespace
}  // namespace qm
