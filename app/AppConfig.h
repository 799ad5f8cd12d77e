#pragma once

#include <string>

namespace korvalot::app {

// The register the program talks to: "https://" and its host without a trailing "/", and the host
// as the window caption shows it.
struct AppConfig {
    std::string RegisterBaseUrl;
    std::string RegisterDisplayHost;
};

// The build's defaults, each replaced by its environment variable (KORVALOT_REGISTER_URL,
// KORVALOT_DISPLAY_HOST) when that is set and not empty.
AppConfig LoadAppConfig();

}  // namespace korvalot::app
