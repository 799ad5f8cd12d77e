#pragma once

#include <QString>

namespace korvalot::app {

// A message on the desktop beside the window, for news the operator should see without looking
// at the log. The window's logic tells it; tests put a recorder in its place.
class DesktopNotice {
public:
    virtual ~DesktopNotice() = default;
    virtual void Show(const QString& title, const QString& text) = 0;
};

}  // namespace korvalot::app
