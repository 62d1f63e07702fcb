// A Firebird "Connect" without a user name never logs in with what the server has: not the
// client library's ISC_USER/ISC_PASSWORD of the qmsrv process, and the driver's default
// administrator login only where FBDefaultCredentials allows it.

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "client/db_client.h"
#include "common/firebird_server.h"
#include "e2e/e2e_fixture.h"

namespace qm::e2e {
namespace {

bool Contains(const std::string& Text, const std::string& Part) {
  return Text.find(Part) != std::string::npos;
}

class FbCredentialsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { firebird_.Open("credentials"); }
  static void TearDownTestSuite() { firebird_.Close(); }
  void SetUp() override {
    if (!firebird_.Problem().empty())
      GTEST_FAIL() << firebird_.Problem();
  }

  // The server's error for a "Connect" with User and Password through a qmsrv configured with
  // Extra; "" when it was served.
  static std::string ConnectError(int Port, const std::string& User, const std::string& Password) {
    TqmDBClient client("127.0.0.1", std::to_string(Port), 30000);
    client.Open();
    try {
      client.Connect(
          {"Firebird", firebird_.Path(), firebird_.Settings().port, User, Password, "fb"});
    } catch (const EqmServerError& e) {
      return e.Message();
    }
    return "";
  }

  static inline fbtest::SuiteDatabase firebird_;
};

TEST_F(FbCredentialsTest, NoUserNameIsRefusedUnlessDefaultsAreAllowed) {
  const fbtest::ServerSettings& fb = firebird_.Settings();
  const int port = FreePort();
  ServerProcess server(ServerProcess::PortConfig(port) + "FBHost=" + fb.host + "\n");
  // The client library would log in with these when the request has no user or password.
  ::setenv("ISC_USER", fb.user.c_str(), 1);
  ::setenv("ISC_PASSWORD", fb.password.c_str(), 1);
  const bool started = server.Start(port);
  ::unsetenv("ISC_USER");
  ::unsetenv("ISC_PASSWORD");
  ASSERT_TRUE(started) << server.Err();

  EXPECT_EQ(ConnectError(port, "", ""), "Firebird: a user name is required");
  EXPECT_EQ(ConnectError(port, "", fb.password), "Firebird: a user name is required");
  const std::string no_password = ConnectError(port, fb.user, "");
  EXPECT_NE(no_password, "");
  EXPECT_EQ(ConnectError(port, fb.user, fb.password), "");

  // Allowed, the driver's default login is tried (and fails here: the test server's
  // administrator has a password of its own).
  const int open_port = FreePort();
  ServerProcess open(ServerProcess::PortConfig(open_port) + "FBHost=" + fb.host +
                     "\nFBDefaultCredentials=yes\n");
  ASSERT_TRUE(open.Start(open_port)) << open.Err();
  const std::string defaults = ConnectError(open_port, "", "");
  EXPECT_NE(defaults, "");
  EXPECT_FALSE(Contains(defaults, "a user name is required")) << defaults;
}

}  // namespace
}  // namespace qm::e2e
