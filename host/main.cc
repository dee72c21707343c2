// cvlhost: the host agent's command line. Only the first argument selects the command.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "host/run_command.h"
#include "host/usage.h"
#include "kit/broker/registration.h"
#include "kit/diagnostics/permissions.h"
#include "kit/fabric/fabric_config.h"

namespace {

int printUsage(int status) {
  std::fputs(cvl::host::USAGE_TEXT, stdout);
  std::fflush(stdout);
  return status;
}

int checkJson() {
  bool ax = cvl::Permissions::hasAccessibility(false);
  bool sr = cvl::Permissions::hasScreenRecording();
  std::printf("{\"accessibility\":%s,\"screenRecording\":%s}\n", ax ? "true" : "false",
              sr ? "true" : "false");
  std::fflush(stdout);
  return 0;
}

int registerDevice() {
  std::string dir = cvl::FabricConfigLoader::defaultConfigDir();
  std::error_code ignored;  // a folder that cannot be made shows when fabric.json is written
  std::filesystem::create_directories(dir, ignored);
  return cvl::Registration::run(dir) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string_view command = argc > 1 ? argv[1] : "run";
  if (command == "help" || command == "-h" || command == "--help") return printUsage(0);
  if (command == "check") {
    cvl::Permissions::report(false);
    return 0;
  }
  if (command == "check-json") return checkJson();
  if (command == "request-screen") {
    cvl::Permissions::requestScreenRecording();
    return 0;
  }
  if (command == "request-ax") {
    cvl::Permissions::hasAccessibility(true);
    return 0;
  }
  if (command == "register") return registerDevice();
  if (command == "run") return cvl::host::runHost();
  return printUsage(2);
}
