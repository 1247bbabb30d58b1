#include "main/CommandLine.h"

#include <array>
#include <exception>
#include <sstream>

#include <fmt/format.h>
#include <boost/program_options.hpp>

namespace Norvane::Tavrel {

namespace po = boost::program_options;

void validate(boost::any& value, const std::vector<std::string>& /*tokens*/, counter*, int) {
    if (value.empty())
        value = counter{1};
    else
        ++boost::any_cast<counter&>(value).count;
}

CommandLineResult ParseCommandLine(int argc, const char* const argv[]) {
    try {
        po::options_description description("Options");
        // clang-format off
        description.add_options()
            ("help,h", "help screen")
            ("logfile", po::value<std::string>()->default_value("/var/log/tavrel.log"),
                "path for the logfile")
            ("verbose,v", po::value<counter>()->zero_tokens(),
                "verbosity for cout-log (v=Error vv=Warn vvv=Info, vvvv=Debug)")
            ("configFile", po::value<std::string>(), "override applicationPath config file")
            ("logToStderr", po::bool_switch(),
                "log to standard error only, no logfile");
        // clang-format on

        po::variables_map vm;
        po::store(
            po::command_line_parser(argc, argv).options(description).allow_unregistered().run(),
            vm);
        po::notify(vm);

        if (vm.count("help")) {
            std::ostringstream out;
            out << description;
            return CommandLineHelp{fmt::format("{}\n", out.str())};
        }

        CommandLineSettings settings;
        settings.logFile = vm["logfile"].as<std::string>();
        if (vm.count("verbose"))
            settings.verbosity = vm["verbose"].as<counter>().count;
        settings.logToConsole = settings.verbosity > 0;
        if (vm.count("configFile"))
            settings.configFile = vm["configFile"].as<std::string>();
        settings.logToStderr = vm["logToStderr"].as<bool>();
        return settings;
    } catch (const std::exception& e) {
        return CommandLineError{e.what()};
    }
}

spdlog::level::level_enum VerbosityToLogLevel(unsigned count) {
    static constexpr std::array<spdlog::level::level_enum, 5> kLevels{
        spdlog::level::off, spdlog::level::err, spdlog::level::warn, spdlog::level::info,
        spdlog::level::debug};
    if (count >= kLevels.size())
        return spdlog::level::trace;
    return kLevels[count];
}

}  // namespace Norvane::Tavrel
