#pragma once

#include <memory>

#include "fetch/ClientProfiles.h"
#include "fetch/TScrapingThread2.h"

namespace korvalot::fetch {

/// Makes for every worker a transport over a WorkerClient with these limits: shortened limits
/// for tests and benchmarks, the same client as the product's otherwise.
WorkerTransportFactory WorkerClientTransportFactory(ClientLimits limits);

}  // namespace korvalot::fetch
