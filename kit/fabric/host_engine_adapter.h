#pragma once
// The host engine as the fabric client sees it. The adapter only forwards: the engine posts
// every request to the sequence that owns it, so the adapter may be called from any thread.

#include <memory>

#include "kit/capture/host_engine.h"
#include "kit/fabric/fabric_engine.h"

namespace cvl {

std::shared_ptr<FabricEngine> fabricEngineFor(std::shared_ptr<HostEngine> engine);

}  // namespace cvl
