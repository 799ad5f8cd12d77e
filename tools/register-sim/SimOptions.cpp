#include "tools/register-sim/SimOptions.h"

#include <charconv>
#include <cstdint>
#include <string_view>

#include "tools/register-sim/SimDate.h"

namespace korvalot::tools {
namespace {

template <class T>
T Number(std::string_view option, std::string_view text, T low, T high) {
    T value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high) {
        throw SimUsageError(std::string(option) + ": not a number in range: " + std::string(text));
    }
    return value;
}

double Rate(std::string_view option, std::string_view text) {
    std::size_t used = 0;
    double value = -1;
    try {
        value = std::stod(std::string(text), &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != text.size() || !(value >= 0.0 && value <= 1.0)) {
        throw SimUsageError(std::string(option) + ": not a rate from 0 to 1: " + std::string(text));
    }
    return value;
}

std::int32_t Day(std::string_view option, std::string_view text) {
    const auto day = ParseDate(text);
    if (!day) {
        throw SimUsageError(std::string(option) + ": not a date yyyy-mm-dd: " + std::string(text));
    }
    return *day;
}

}  // namespace

const char* Usage() {
    return "usage: register-sim [--port N] [--trades N] [--seed S] [--from yyyy-mm-dd] [--to "
           "yyyy-mm-dd]\n"
           "                    [--today yyyy-mm-dd]\n"
           "                    [--fault-rate R] [--fault-kinds k1,k2,...] [--latency-ms L]\n"
           "                    [--fail-first K] [--stall-ms M] [--require-client-cert]\n"
           "                    [--strict-headers] [--log FILE] [--threads N] [--no-compress]\n"
           "                    [--parent-pid PID] [--unpriced-crowded N]\n"
           "                    [--truth FILE [--truth-regions c1,c2] [--truth-types T1,T2]\n"
           "                     [--truth-from d] [--truth-to d]]\n"
           "       register-sim --write-client-cert DIR\n"
           "fault kinds: 503 500 empty html truncated reset stall malformed\n";
}

SimCommandLine ParseCommandLine(const std::vector<std::string>& args) {
    SimCommandLine cl;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string option = args[i];
        std::optional<std::string> inlineValue;
        if (const std::size_t eq = option.find('=');
            option.rfind("--", 0) == 0 && eq != std::string::npos) {
            inlineValue = option.substr(eq + 1);
            option.resize(eq);
        }
        auto value = [&]() -> std::string {
            if (inlineValue) {
                return *inlineValue;
            }
            if (i + 1 >= args.size()) {
                throw SimUsageError(option + ": a value is missing");
            }
            return args[++i];
        };
        if (option == "--help" || option == "-h") {
            cl.help = true;
        } else if (option == "--port") {
            cl.server.port = Number<std::uint16_t>(option, value(), 0, 65535);
        } else if (option == "--trades") {
            cl.data.trades = Number<std::size_t>(option, value(), 0, 5000000);
        } else if (option == "--seed") {
            cl.data.seed = Number<std::uint64_t>(option, value(), 0, UINT64_MAX);
        } else if (option == "--unpriced-crowded") {
            cl.data.unpricedPerCrowdedDay = Number<std::size_t>(option, value(), 0, 1000);
        } else if (option == "--from") {
            cl.data.fromDay = Day(option, value());
        } else if (option == "--to") {
            cl.data.toDay = Day(option, value());
        } else if (option == "--today") {
            cl.data.today = Day(option, value());
        } else if (option == "--fault-rate") {
            cl.reg.faults.rate = Rate(option, value());
        } else if (option == "--fault-kinds") {
            cl.reg.faults.kinds.clear();
            for (const std::string& name : SplitCommaList(value())) {
                const auto kind = ParseFaultKind(name);
                if (!kind) {
                    throw SimUsageError(option + ": unknown fault kind: " + name);
                }
                cl.reg.faults.kinds.push_back(*kind);
            }
            if (cl.reg.faults.kinds.empty()) {
                throw SimUsageError(option + ": no fault kind given");
            }
        } else if (option == "--latency-ms") {
            cl.server.latency = std::chrono::milliseconds(Number<int>(option, value(), 0, 600000));
        } else if (option == "--stall-ms") {
            cl.server.stall = std::chrono::milliseconds(Number<int>(option, value(), 0, 3600000));
        } else if (option == "--fail-first") {
            cl.reg.faults.failFirst = Number<std::uint32_t>(option, value(), 0, 1000000);
        } else if (option == "--require-client-cert") {
            cl.reg.requireClientCert = true;
        } else if (option == "--strict-headers") {
            cl.reg.strictHeaders = true;
        } else if (option == "--log") {
            cl.server.logFile = value();
        } else if (option == "--threads") {
            cl.server.threads = Number<int>(option, value(), 1, 64);
        } else if (option == "--no-compress") {
            cl.server.compress = false;
        } else if (option == "--truth") {
            cl.truthFile = value();
        } else if (option == "--truth-regions") {
            cl.truthFilter.regionCodes = SplitCommaList(value());
        } else if (option == "--truth-types") {
            cl.truthFilter.tradeTypes = SplitCommaList(value());
        } else if (option == "--truth-from") {
            cl.truthFilter.fromDay = Day(option, value());
        } else if (option == "--truth-to") {
            cl.truthFilter.toDay = Day(option, value());
        } else if (option == "--parent-pid") {
            cl.parentPid = Number<int>(option, value(), 1, INT32_MAX);
        } else if (option == "--write-client-cert") {
            cl.clientCertDirectory = value();
        } else {
            throw SimUsageError("unknown argument: " + args[i]);
        }
    }
    if (cl.data.toDay < cl.data.fromDay) {
        throw SimUsageError("--to is earlier than --from");
    }
    cl.reg.faults.seed = cl.data.seed;
    return cl;
}

}  // namespace korvalot::tools
