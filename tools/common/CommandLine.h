#pragma once
// The command-line conventions shared by every qb32 tool, in one parser.
//
// Forms: "--name VALUE" and "--name=VALUE" for long options, "-n VALUE" for
// short ones; flags take no value ("--split=yes" is an error); "--" ends the
// options, so later arguments are operands even when they start with '-'; a
// lone "-" is an operand. Options may repeat; each occurrence reaches the
// option's handler in command-line order.
//
// Built in for every tool: -h/--help (the help on stdout, exit 0),
// --version ("qb32-render 1.0.0" on stdout, exit 0) and -q/--quiet (quiet()
// answers true; the tool then prints nothing but warnings and errors).
// --help and --version win over anything else on the line.
//
// Errors: parse() prints one line "PROGRAM: message" on stderr and answers
// exitUsage; a handler refuses a value by answering false with a message
// (the option's name is prefixed when the message does not start with it).
//
// runTool() is the shell of every tool's main(): it arms the removal of
// partial output files on fatal signals (OutputFile.h) and turns an escaping
// exception into one line and exitInternal, after the stack has unwound (so
// every open output file has removed its partial file).
//
// Not for real-time use.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tools/common/ExitStatus.h"

namespace qb32::tools {

// The tools' version, from the project's version.
const char* toolsVersion();

class CommandLine {
public:
    using Handler = std::function<bool(const std::string& value, std::string& error)>;

    // `synopsis`: the usage line after the program's name; `about`: what the
    // tool does, in a few lines; `statuses`: the exit statuses it can answer
    // besides 0 (listed in the help from the shared table).
    CommandLine(std::string program, std::string synopsis, std::string about, std::vector<int> statuses);

    // `names`: "-o, --output" or "--split"; `valueName` ("FILE") empty for a
    // flag. Help texts may hold several lines.
    void option(const std::string& names, const std::string& valueName, const std::string& help, Handler handler);
    void flag(const std::string& names, const std::string& help, std::function<void()> handler);
    // Operands (arguments that are not options): at most `maximum`.
    void operands(const std::string& name, int maximum, Handler handler);
    // A paragraph at the end of the help (before the exit statuses).
    void note(const std::string& text);

    // Answers std::nullopt when the tool should run, else the status to exit
    // with at once (0 after --help or --version, exitUsage after an error).
    std::optional<int> parse(int argc, const char* const* argv);

    [[nodiscard]] bool quiet() const noexcept { return quietFlag; }
    [[nodiscard]] std::string help() const;
    // Prints "PROGRAM: message" on stderr and answers `status`.
    int fail(int status, const std::string& message) const;
    // Prints "PROGRAM: warning: message" on stderr (also when quiet).
    void warn(const std::string& message) const;

private:
    struct Option {
        std::string shortName, longName, valueName, help;
        Handler handler;
        std::function<void()> flagHandler;
    };
    const Option* find(const std::string& arg) const;
    bool take(const Option& option, const std::string& shown, const std::string& value, std::string& error) const;

    std::string name, synopsis, about;
    std::vector<int> statuses;
    std::vector<Option> options;
    std::vector<std::string> notes;
    std::string operandName;
    int operandMaximum = 0;
    Handler operandHandler;
    bool quietFlag = false;
};

// Runs `body` as a tool's main(): see above.
int runTool(const char* program, int argc, char** argv, const std::function<int(int, char**)>& body);

}  // namespace qb32::tools
