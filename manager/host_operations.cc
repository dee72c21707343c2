#include "manager/host_operations.h"

namespace cvl {

namespace {

class SystemHostOperations final : public HostOperations {
 public:
  bool isRegistered() override { return HostControl::isRegistered(); }
  std::optional<std::string> registeredName() override { return HostControl::registeredName(); }
  Grants hostGrants() override { return HostControl::hostGrants(); }
  bool agentLoaded() override { return HostControl::agentLoaded(); }
  void startAgent() override { HostControl::startAgent(); }
  bool uninstall(bool alsoRemoveManager) override {
    return HostControl::uninstall(alsoRemoveManager);
  }
  void downloadAndRunInstaller(std::function<void(bool, std::string)> completion) override {
    HostControl::downloadAndRunInstaller(std::move(completion));
  }
};

}  // namespace

std::shared_ptr<HostOperations> HostOperations::system() {
  static auto shared = std::make_shared<SystemHostOperations>();
  return shared;
}

}  // namespace cvl
