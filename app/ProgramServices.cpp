#include "app/ProgramServices.h"

#include "app/StartupChecks.h"
#include "fetch/ClientProfiles.h"
#include "util/Platform.h"

namespace korvalot::app {

DirectoryFetch RegisterDirectoryFetch() {
    return [](const std::string& address, const std::string& referer,
              const std::function<void()>& whileWaiting) {
        // Set up for this one request and released at once, on success and failure alike.
        fetch::DirectoryClient client;
        return client.Get(address, referer, whileWaiting);
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
    services.regional = RegionalSettings(QLocale::system());
    services.tickCount = [] { return static_cast<std::uint32_t>(util::TickCount()); };
    services.now = [] { return QDateTime::currentDateTime(); };
    services.tlsReady = [] { return TlsLibraryReady(); };
    services.fetchDirectory = RegisterDirectoryFetch();
    return services;
}

}  // namespace korvalot::app
