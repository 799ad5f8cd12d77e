#pragma once

#include <QString>

namespace korvalot::app {

enum class StartupRefusal { None, InsideArchive, TemporaryFolder, TlsMissing };

// The checks made when the window is first shown, in their order, on the executable's directory
// written with a trailing separator.
StartupRefusal CheckStartupLocation(const QString& exeDirWithSeparator, bool tlsReady);

// The text of the refusal's message box, lines separated by CR LF.
QString StartupRefusalText(StartupRefusal refusal);

inline constexpr const char16_t* kStartupRefusalTitle = u"Внимание!";

// Whether the TLS library that the HTTP clients use initialises and can build a client context.
bool TlsLibraryReady();

}  // namespace korvalot::app
