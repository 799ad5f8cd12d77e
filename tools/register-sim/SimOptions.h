#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "tools/register-sim/SimData.h"
#include "tools/register-sim/SimRegister.h"
#include "tools/register-sim/SimServer.h"

namespace korvalot::tools {

class SimUsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct SimCommandLine {
    SimDataOptions data;
    SimRegisterOptions reg;
    SimServerOptions server;
    std::string truthFile;
    SimFilter truthFilter;
    std::string clientCertDirectory;  // set: write the client certificate pair and end
    // for launchers: ends once its parent is no longer this process, so that a test that dies
    // leaves no server behind
    int parentPid = 0;
    bool help = false;
};

// The arguments after the program name. Throws SimUsageError naming the wrong argument.
SimCommandLine ParseCommandLine(const std::vector<std::string>& args);
const char* Usage();

}  // namespace korvalot::tools
