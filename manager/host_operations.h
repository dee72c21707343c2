#pragma once
// The host-control operations the model uses, behind an interface so that a test can stand
// in a probe it holds up at will. The system implementation forwards to HostControl.
// Implementations must be callable from any thread.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "manager/host_control.h"

namespace cvl {

class HostOperations {
 public:
  virtual ~HostOperations() = default;

  virtual bool isRegistered() = 0;
  virtual std::optional<std::string> registeredName() = 0;
  virtual Grants hostGrants() = 0;
  virtual bool agentLoaded() = 0;
  virtual void startAgent() = 0;
  virtual bool uninstall(bool alsoRemoveManager) = 0;
  virtual void downloadAndRunInstaller(std::function<void(bool, std::string)> completion) = 0;

  // The real installation, through HostControl.
  static std::shared_ptr<HostOperations> system();
};

}  // namespace cvl
