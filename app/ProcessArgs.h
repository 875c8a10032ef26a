#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base/SharedData.h"
#include "platform/Console.h"

namespace vantrel {

// The program's command line: options, validation and what they set in SharedData.
class ProcessArgs {
  public:
    // Prints to and ends the process through `console`, which outlives the parser.
    explicit ProcessArgs(platform::Console& console) : console_(console) {}

    // What evaluating a command line came to, without printing or exiting: the lines for
    // standard output, the log message (category "arguments"), and how the run goes on.
    struct Outcome {
        enum class Kind { Parsed, Rejected, Exit } kind = Kind::Parsed;
        int exitStatus = 0;                       // for Kind::Exit
        std::vector<std::string> output;          // lines for standard output
        std::optional<std::string> debugMessage;  // logged at debug level
        std::optional<std::string> errorMessage;  // logged at error level
    };

    // Parses `arguments` (without the program path) into `settings`. Pure apart from
    // `settings`: the parser is built afresh on every call.
    static Outcome evaluate(const std::vector<std::string>& arguments, SharedData& settings);

    // Evaluates the process's arguments into SharedData, prints and logs the outcome. Returns
    // true when the run may go on, false when the parser rejected the arguments; ends the
    // process itself for help (0), a bad value (1) or a missing option (2).
    bool parseArguments(const std::vector<std::string>& arguments);

  private:
    platform::Console& console_;
};

}  // namespace vantrel
