#include "fetch/WorkerClientTransport.h"

namespace korvalot::fetch {

namespace {

class WorkerClientTransport final : public WorkerTransport {
public:
    explicit WorkerClientTransport(const ClientLimits& limits) : client_(limits) {}

    std::string Get(const std::string& address, const std::string& referer) override {
        return client_.Get(address, referer);
    }
    std::int32_t LastStatusCode() const noexcept override { return client_.LastStatusCode(); }
    std::optional<std::chrono::milliseconds> RetryAfter() const noexcept override {
        return client_.RetryAfter();
    }
    void Close() noexcept override { client_.Close(); }
    void Cancel() noexcept override { client_.Cancel(); }

private:
    WorkerClient client_;
};

}  // namespace

std::unique_ptr<WorkerTransport> MakeWorkerClientTransport() {
    return std::make_unique<WorkerClientTransport>(ClientLimits{});
}

WorkerTransportFactory WorkerClientTransportFactory(ClientLimits limits) {
    return [limits] {
        return std::unique_ptr<WorkerTransport>(std::make_unique<WorkerClientTransport>(limits));
    };
}

}  // namespace korvalot::fetch
