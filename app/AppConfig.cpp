#include "app/AppConfig.h"

#include <cstdlib>

#ifndef KORVALOT_REGISTER_BASE_URL
#define KORVALOT_REGISTER_BASE_URL "https://register.example"
#endif
#ifndef KORVALOT_REGISTER_DISPLAY_HOST
#define KORVALOT_REGISTER_DISPLAY_HOST "register.example"
#endif

namespace korvalot::app {
namespace {

std::string FromEnvironment(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return (value != nullptr && *value != '\0') ? std::string(value) : std::string(fallback);
}

}  // namespace

AppConfig LoadAppConfig() {
    AppConfig config;
    config.RegisterBaseUrl = FromEnvironment("KORVALOT_REGISTER_URL", KORVALOT_REGISTER_BASE_URL);
    // A trailing "/" would double the slash in every address built from the base.
    while (config.RegisterBaseUrl.size() > 8 && config.RegisterBaseUrl.back() == '/') {
        config.RegisterBaseUrl.pop_back();
    }
    config.RegisterDisplayHost =
        FromEnvironment("KORVALOT_DISPLAY_HOST", KORVALOT_REGISTER_DISPLAY_HOST);
    return config;
}

}  // namespace korvalot::app
