#include "app/HarvestSettings.h"

#include <QStringList>

#include "app/IniFile.h"

namespace korvalot::app {
namespace {

bool IsOn(const QString& value) {
    static const QStringList kOn = {QStringLiteral("1"), QStringLiteral("true"),
                                    QStringLiteral("yes"), QStringLiteral("on")};
    return kOn.contains(value.trimmed(), Qt::CaseInsensitive);
}

}  // namespace

void ApplyHarvestSettings(const QString& settingsIniPath, crawl::ScraperEnvironment& environment) {
    const QString section = QStringLiteral("Harvest");
    environment.recordHarvested =
        environment.recordHarvested ||
        IsOn(ReadIniValue(settingsIniPath, section, QStringLiteral("Incremental"), {}));
    environment.writeWorkbook =
        environment.writeWorkbook ||
        IsOn(ReadIniValue(settingsIniPath, section, QStringLiteral("Workbook"), {}));
}

}  // namespace korvalot::app
