#include "app/ProgramServices.h"

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
        // The request runs on a thread of its own, so that the window keeps handling its events
        // whatever the client is doing. When the window closes meanwhile (whileWaiting raises),
        // the request is cancelled, which closes its socket also while it connects or shakes
        // hands, and its thread joined: the program ends at once, without waiting out the
        // 120 s time-out.
        fetch::DirectoryClient client;  // set up for this one request and released at once
        DirectoryAnswer answer;
        std::thread request([&] {
            std::string body;
            std::exception_ptr error;
            try {
                body = client.Get(address, referer);
            } catch (...) {
                error = std::current_exception();
            }
            {
                std::lock_guard lock(answer.mutex);
                answer.body = std::move(body);
                answer.error = error;
                answer.finished = true;
            }
            answer.done.notify_all();
        });
        try {
            std::unique_lock lock(answer.mutex);
            while (!answer.done.wait_for(lock, std::chrono::milliseconds(50),
                                         [&] { return answer.finished; })) {
                lock.unlock();
                whileWaiting();  // raises when the window has closed
                lock.lock();
            }
        } catch (...) {
            client.Cancel();
            request.join();
            throw;
        }
        request.join();
        if (answer.error) {
            std::rethrow_exception(answer.error);
        }
        return std::move(answer.body);
    };
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
