#include "app/ProgramServices.h"

#include <chrono>
#include <future>
#include <memory>
#include <string>

#include "app/DesktopNotifier.h"
#include "app/StartupChecks.h"
#include "fetch/ClientProfiles.h"
#include "util/Platform.h"

namespace korvalot::app {

DirectoryFetch RegisterDirectoryFetch() {
    return [](const std::string& address, const std::string& referer,
              const std::function<void()>& whileWaiting) {
        // The request runs on a thread of its own, so that the window keeps handling its events
        // whatever the client is doing. When the window closes meanwhile (whileWaiting raises),
        // the request is cancelled, which closes its socket also while it connects or shakes
        // hands, and its thread waited for: the program ends at once, without waiting out the
        // 120 s time-out.
        fetch::DirectoryClient client;  // set up for this one request and released at once
        auto request = std::async(std::launch::async, [&] { return client.Get(address, referer); });
        try {
            while (request.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready)
                whileWaiting();  // raises when the window has closed
        } catch (...) {
            client.Cancel();
            request.wait();
            throw;
        }
        return request.get();
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
    services.desktopNotice = std::make_shared<DesktopNotifier>();
    return services;
}

}  // namespace korvalot::app
