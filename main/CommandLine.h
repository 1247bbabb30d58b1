#pragma once

#include <filesystem>
#include <string>
#include <variant>
#include <vector>

#include <spdlog/common.h>
#include <boost/any.hpp>

namespace Norvane::Tavrel {

/// The value type of the verbosity option: counts its occurrences ("-vvv" counts 3).
struct counter {
    unsigned count{0};
};

/// Option-library hook for `counter`: the first occurrence stores 1, each further one adds 1.
void validate(boost::any& value, const std::vector<std::string>& tokens, counter*, int);

/// What the command line asks for when the service runs.
struct CommandLineSettings {
    std::filesystem::path logFile;     ///< "logfile", default "/var/log/tavrel.log"
    unsigned verbosity{0};             ///< occurrences of "verbose,v"
    bool logToConsole{false};          ///< verbosity > 0
    std::filesystem::path configFile;  ///< "configFile"; empty: the device stack names the file
    /// "logToStderr": no log file, every record to standard error (a service manager's journal
    /// keeps them), at the platform's level unless "verbose" fixes one.
    bool logToStderr{false};
};

/// The command line could not be parsed: the option library's message.
struct CommandLineError {
    std::string message;
};

/// Help was asked for: the rendered option description and one newline.
struct CommandLineHelp {
    std::string text;
};

/// Exactly one of: error (index 0), help (index 1), settings (index 2).
using CommandLineResult = std::variant<CommandLineError, CommandLineHelp, CommandLineSettings>;

/// Parses the command line. Unknown options are ignored; malformed ones give the error
/// alternative. Never throws.
CommandLineResult ParseCommandLine(int argc, const char* const argv[]);

/// The log level of a verbosity count > 0: 1 error, 2 warn, 3 info, 4 debug, 5 or more trace.
spdlog::level::level_enum VerbosityToLogLevel(unsigned count);

}  // namespace Norvane::Tavrel
