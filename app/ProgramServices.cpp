#include "app/ProgramServices.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "app/StartupChecks.h"
#include "fetch/ClientProfiles.h"
#include "util/Platform.h"

namespace korvalot::app {

namespace {

std::atomic<int> directoryLoadsUnderWay{0};

// What the request's thread hands back to the waiting window.
struct DirectoryAnswer {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::string body;
    std::exception_ptr error;
};

}  // namespace

DirectoryFetch RegisterDirectoryFetch() {
    return [](const std::string& address, const std::string& referer,
              const std::function<void()>& whileWaiting) {
        // The request runs on a thread of its own: a connection that is still being made or in
        // its TLS handshake cannot be called off from inside the client's wait, and the window
        // must be able to close and end the program without waiting out the 120 s time-out.
        // The thread owns its share of the answer; once the window has given up on it, it ends
        // on its own, or the process ends under it (main).
        auto answer = std::make_shared<DirectoryAnswer>();
        ++directoryLoadsUnderWay;
        std::thread([answer, address, referer] {
            std::string body;
            std::exception_ptr error;
            try {
                // Set up for this one request and released at once, on success and failure.
                fetch::DirectoryClient client;
                body = client.Get(address, referer);
            } catch (...) {
                error = std::current_exception();
            }
            {
                std::lock_guard lock(answer->mutex);
                answer->body = std::move(body);
                answer->error = error;
                answer->finished = true;
            }
            answer->done.notify_all();
            --directoryLoadsUnderWay;
        }).detach();
        std::unique_lock lock(answer->mutex);
        while (!answer->done.wait_for(lock, std::chrono::milliseconds(50),
                                      [&] { return answer->finished; })) {
            lock.unlock();
            whileWaiting();  // raises when the window has closed
            lock.lock();
        }
        if (answer->error) {
            std::rethrow_exception(answer->error);
        }
        return std::move(answer->body);
    };
}

bool DirectoryLoadUnderWay() {
    return directoryLoadsUnderWay.load() > 0;
}

MainFormServices ProgramServices() {
    MainFormServices services;
    const auto withSeparator = [](const std::filesystem::path& path) {
        QString dir = QString::fromStdString(path.string());
        if (!dir.endsWith(u'/')) {
            dir += u'/';
        }
        return dir;
    };
    services.exeDir = withSeparator(util::ExecutableDirectory());
    services.dataDir = withSeparator(util::DataDirectory());
    services.config = LoadAppConfig();
    services.regional = LocaleFormats(QLocale::system());
    services.tickCount = [] { return static_cast<std::uint32_t>(util::TickCount()); };
    services.now = [] { return QDateTime::currentDateTime(); };
    services.tlsReady = [] { return TlsLibraryReady(); };
    services.fetchDirectory = RegisterDirectoryFetch();
    return services;
}

}  // namespace korvalot::app
