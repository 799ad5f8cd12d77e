#include "app/AppConfig.h"

#include <cstdlib>

#include "crawl/RegisterAddresses.h"

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
    config.RegisterBaseUrl = crawl::ConfiguredRegisterBaseUrl();
    config.RegisterDisplayHost =
        FromEnvironment("KORVALOT_DISPLAY_HOST", KORVALOT_REGISTER_DISPLAY_HOST);
    return config;
}

}  // namespace korvalot::app
