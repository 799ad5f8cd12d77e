#pragma once

#include <memory>

#include <QObject>
#include <QString>
#include <QSystemTrayIcon>

#include "app/DesktopNotice.h"

namespace korvalot::app {

// The desktop's notification service (org.freedesktop.Notifications on the session bus, its
// method Notify); where none answers, a balloon of an icon in the system tray; where there is no
// tray either, nothing. The service is asked without waiting for it, so that one that hangs
// never holds up the window. Used on the UI thread only.
class DesktopNotifier : public DesktopNotice {
public:
    enum class Route { Service, Tray, None };

    DesktopNotifier();
    ~DesktopNotifier() override;
    DesktopNotifier(const DesktopNotifier&) = delete;
    DesktopNotifier& operator=(const DesktopNotifier&) = delete;

    void Show(const QString& title, const QString& text) override;
    // How the last message went, once the service answered or did not.
    Route LastRoute() const { return last_; }

private:
    void ShowInTray(const QString& title, const QString& text);

    // The context of the service's answers: they are dropped once the notifier is gone.
    std::unique_ptr<QObject> answers_;
    std::unique_ptr<QSystemTrayIcon> tray_;
    Route last_ = Route::None;
};

}  // namespace korvalot::app
