#include <gtest/gtest.h>

#include "tests/support/child_process.h"
#include "tests/support/xvfb_server.h"

namespace cvl {
namespace {

TEST(CvlhostCheckJson, ReportsBothPermissionsOnAnXServer) {
  test::XvfbServer server;
  test::ChildOptions options;
  options.args = {"check-json"};
  options.setEnv = {{"DISPLAY", server.display()}};
  auto result = test::runChild(test::builtProgram("cvlhost"), options);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "{\"accessibility\":true,\"screenRecording\":true}\n");
}

}  // namespace
}  // namespace cvl
