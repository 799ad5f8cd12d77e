#pragma once

#include <memory>

#include "fetch/ClientProfiles.h"
#include "fetch/TScrapingThread2.h"

namespace korvalot::fetch {

/// A worker's transport over a WorkerClient with these limits.
std::unique_ptr<WorkerTransport> MakeWorkerClientTransport(const ClientLimits& limits);

/// Makes MakeWorkerClientTransport(limits) for every worker: shortened limits for tests and
/// benchmarks, the same client as the product's otherwise.
WorkerTransportFactory WorkerClientTransportFactory(ClientLimits limits);

}  // namespace korvalot::fetch
