#include "app/DesktopNotifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QIcon>
#include <QVariantMap>

namespace korvalot::app {
namespace {

// A service that has not answered within this is taken for none.
constexpr int kServiceTimeoutMs = 5000;
// How long the message stays, as the service counts it.
constexpr int kExpireMs = 10000;

}  // namespace

DesktopNotifier::DesktopNotifier() : answers_(std::make_unique<QObject>()) {}

DesktopNotifier::~DesktopNotifier() = default;

void DesktopNotifier::Show(const QString& title, const QString& text) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        ShowInTray(title, text);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    // app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout.
    call << QStringLiteral("korvalot") << 0u << QStringLiteral("korvalot") << title << text
         << QStringList()
         << QVariantMap{{QStringLiteral("desktop-entry"), QStringLiteral("korvalot")}} << kExpireMs;
    auto* watcher =
        new QDBusPendingCallWatcher(bus.asyncCall(call, kServiceTimeoutMs), answers_.get());
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, answers_.get(),
                     [this, title, text](QDBusPendingCallWatcher* answered) {
                         answered->deleteLater();
                         if (answered->isError())
                             ShowInTray(title, text);
                         else
                             last_ = Route::Service;
                     });
}

void DesktopNotifier::ShowInTray(const QString& title, const QString& text) {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        last_ = Route::None;
        return;
    }
    if (!tray_) {
        tray_ = std::make_unique<QSystemTrayIcon>(QIcon(QStringLiteral(":/korvalot.png")));
        tray_->setToolTip(QStringLiteral("korvalot"));
    }
    tray_->show();
    tray_->showMessage(title, text, QSystemTrayIcon::Information, kExpireMs);
    last_ = Route::Tray;
}

}  // namespace korvalot::app
