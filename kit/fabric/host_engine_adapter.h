#pragma once
// The host engine as the fabric client sees it. The adapter only forwards; the engine does
// its own locking, so the adapter may be called from any thread, as the engine may.

#include <memory>

#include "kit/capture/host_engine.h"
#include "kit/fabric/fabric_engine.h"

namespace cvl {

std::shared_ptr<FabricEngine> fabricEngineFor(std::shared_ptr<HostEngine> engine);

}  // namespace cvl
