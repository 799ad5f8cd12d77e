#include "app/HarvestSettings.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

#include "app/AppError.h"
#include "app/IniFile.h"
#include "store/StoreError.h"
#include "store/TradeStore.h"

namespace korvalot::app {
namespace {

bool IsOn(const QString& value) {
    static const QStringList kOn = {QStringLiteral("1"), QStringLiteral("true"),
                                    QStringLiteral("yes"), QStringLiteral("on")};
    return kOn.contains(value.trimmed(), Qt::CaseInsensitive);
}

}  // namespace

std::filesystem::path HarvestStorePath(const QString& settingsIniPath) {
    return QFileInfo(settingsIniPath).dir().filesystemAbsolutePath() / "korvalot.sqlite";
}

void ApplyHarvestSettings(const QString& settingsIniPath, crawl::ScraperEnvironment& environment) {
    const QString section = QStringLiteral("Harvest");
    environment.recordHarvested =
        environment.recordHarvested ||
        IsOn(ReadIniValue(settingsIniPath, section, QStringLiteral("Incremental"), {}));
    environment.writeWorkbook =
        environment.writeWorkbook ||
        IsOn(ReadIniValue(settingsIniPath, section, QStringLiteral("Workbook"), {}));
    // Whole minutes, up to a year; anything else leaves the run's own limit (two hours).
    bool number = false;
    const int outageMinutes =
        ReadIniValue(settingsIniPath, section, QStringLiteral("OutageLimitMinutes"), {})
            .trimmed()
            .toInt(&number);
    if (number && outageMinutes >= 0 && outageMinutes <= kMaxOutageMinutes)
        environment.outageLimit = std::chrono::minutes(outageMinutes);
    if (!environment.openTradeSink &&
        IsOn(ReadIniValue(settingsIniPath, section, QStringLiteral("Store"), {}))) {
        // Opened at Start, not when the card phase begins: a store that cannot be used refuses
        // the start, as korvalot-harvest refuses it before any request.
        const std::filesystem::path path = HarvestStorePath(settingsIniPath);
        store::StoreOptions options;
        options.program = "korvalot";
        std::shared_ptr<crawl::TradeSink> tradeStore;
        try {
            tradeStore = std::make_shared<store::TradeStore>(path, options);
        } catch (const store::StoreError& e) {
            throw AppError(e.what());
        }
        environment.openTradeSink = [tradeStore] { return tradeStore; };
    }
}

}  // namespace korvalot::app
