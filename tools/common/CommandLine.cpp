#include "tools/common/CommandLine.h"

#include <cstdio>
#include <exception>
#include <new>

#include "tools/common/OutputFile.h"
#include "tools/common/TextParsing.h"

#ifndef QB32_VERSION
#define QB32_VERSION "unknown"
#endif

namespace qb32::tools {

const char* toolsVersion() { return QB32_VERSION; }

const char* exitStatusMeaning(int status) {
    switch (status) {
        case exitOk: return "done";
        case exitMismatch: return "--check-order: the channels do not match the array's layout";
        case exitUsage: return "usage: the command line is wrong (unknown option, bad value, output = input)";
        case exitInput: return "input: an input is missing, unreadable or unsuitable";
        case exitOutput: return "output: an output cannot be written (unwritable, disk full, a pipe)";
        case exitModule: return "module: the plug-in module cannot be loaded";
        case exitInternal: return "internal failure (out of memory, a fault in the tool)";
        default: return "";
    }
}

CommandLine::CommandLine(std::string program, std::string synopsisText, std::string aboutText,
                         std::vector<int> usedStatuses)
    : name(std::move(program)), synopsis(std::move(synopsisText)), about(std::move(aboutText)),
      statuses(std::move(usedStatuses)) {}

void CommandLine::option(const std::string& names, const std::string& valueName, const std::string& help,
                         Handler handler) {
    Option o;
    for (const std::string& part : split(names, ',')) {
        const std::string n = trim(part);
        (n.rfind("--", 0) == 0 ? o.longName : o.shortName) = n;
    }
    o.valueName = valueName;
    o.help = help;
    o.handler = std::move(handler);
    options.push_back(std::move(o));
}

void CommandLine::flag(const std::string& names, const std::string& help, std::function<void()> handler) {
    option(names, "", help, nullptr);
    options.back().flagHandler = std::move(handler);
}

void CommandLine::operands(const std::string& operand, int maximum, Handler handler) {
    operandName = operand;
    operandMaximum = maximum;
    operandHandler = std::move(handler);
}

void CommandLine::note(const std::string& text) { notes.push_back(text); }

const CommandLine::Option* CommandLine::find(const std::string& arg) const {
    for (const auto& o : options)
        if (arg == o.longName || arg == o.shortName) return &o;
    return nullptr;
}

bool CommandLine::take(const Option& o, const std::string& shown, const std::string& value, std::string& error) const {
    if (o.handler(value, error)) return true;
    if (error.empty()) error = shown + ": cannot use '" + value + "'";
    else if (error.rfind(shown, 0) != 0 && error.rfind(o.longName, 0) != 0) error = shown + ": " + error;
    return false;
}

std::optional<int> CommandLine::parse(int argc, const char* const* argv) {
    // --help and --version win, wherever they stand before "--".
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") break;
        if (arg == "-h" || arg == "--help") {
            std::fputs(help().c_str(), stdout);
            return exitOk;
        }
        if (arg == "--version") {
            std::printf("%s %s\n", name.c_str(), toolsVersion());
            return exitOk;
        }
        const Option* o = find(arg);
        if (o != nullptr && !o->valueName.empty()) ++i;  // its value, whatever it looks like
    }
    int operandCount = 0;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string error;
        if (optionsEnded || arg == "-" || arg.empty() || arg[0] != '-') {
            if (operandCount >= operandMaximum) {
                if (operandMaximum == 0) return fail(exitUsage, "unexpected argument '" + arg + "' (see --help)");
                return fail(exitUsage, "too many arguments: '" + arg + "' (see --help)");
            }
            ++operandCount;
            if (!operandHandler(arg, error)) return fail(exitUsage, error);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "-q" || arg == "--quiet") {
            quietFlag = true;
            continue;
        }
        const auto eq = arg.rfind("--", 0) == 0 ? arg.find('=') : std::string::npos;
        const std::string optionName = arg.substr(0, eq);
        const Option* o = find(optionName);
        if (o == nullptr) {
            if (optionName == "--quiet") return fail(exitUsage, "--quiet takes no value");
            return fail(exitUsage, "unknown option '" + optionName + "' (see --help)");
        }
        if (o->valueName.empty()) {
            if (eq != std::string::npos) return fail(exitUsage, optionName + " takes no value");
            o->flagHandler();
            continue;
        }
        std::string value;
        if (eq != std::string::npos) {
            value = arg.substr(eq + 1);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            return fail(exitUsage, optionName + " needs " + o->valueName);
        }
        if (!take(*o, optionName, value, error)) return fail(exitUsage, error);
    }
    return std::nullopt;
}

std::string CommandLine::help() const {
    std::string text = "usage: " + name + " " + synopsis + "\n";
    if (!about.empty()) text += about + (about.back() == '\n' ? "" : "\n");
    text += "\noptions:\n";
    auto entry = [&](const std::string& names, const std::string& help) {
        std::string head = "  " + names;
        constexpr std::size_t column = 26;
        const auto lines = split(help, '\n');
        for (std::size_t l = 0; l < lines.size(); ++l) {
            if (l == 0) {
                if (head.size() + 1 > column) {
                    text += head + "\n" + std::string(column, ' ');
                } else {
                    text += head + std::string(column - head.size(), ' ');
                }
            } else {
                text += std::string(column, ' ');
            }
            text += lines[l] + "\n";
        }
    };
    for (const auto& o : options) {
        std::string names = o.shortName.empty() ? "    " + o.longName : o.shortName + (o.longName.empty() ? "" : ", " + o.longName);
        if (!o.valueName.empty()) names += " " + o.valueName;
        entry(names, o.help);
    }
    entry("-q, --quiet", "print nothing but warnings and errors");
    entry("-h, --help", "show this help and exit");
    entry("    --version", "show the version and exit");
    text += "Options take their value as --name VALUE or --name=VALUE; -- ends the options.\n";
    for (const auto& n : notes) text += "\n" + n + (n.back() == '\n' ? "" : "\n");
    text += "\nexit status:\n";
    char line[160];
    std::snprintf(line, sizeof line, "  %-3d %s\n", 0, exitStatusMeaning(0));
    text += line;
    std::vector<int> listed = statuses;
    listed.push_back(exitInternal);  // any tool, any time
    for (int s : listed) {
        std::snprintf(line, sizeof line, "  %-3d %s\n", s, exitStatusMeaning(s));
        text += line;
    }
    return text;
}

int CommandLine::fail(int status, const std::string& message) const {
    std::fprintf(stderr, "%s: %s\n", name.c_str(), message.c_str());
    return status;
}

void CommandLine::warn(const std::string& message) const {
    std::fprintf(stderr, "%s: warning: %s\n", name.c_str(), message.c_str());
}

int runTool(const char* program, int argc, char** argv, const std::function<int(int, char**)>& body) {
    PartialFiles::armSignalHandlers();
    // Every return path below has unwound the body's stack, so each open
    // output file has already removed its partial file.
    try {
        return body(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "%s: out of memory\n", program);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: internal failure: %s\n", program, e.what());
    } catch (...) {
        std::fprintf(stderr, "%s: internal failure\n", program);
    }
    return exitInternal;
}

}  // namespace qb32::tools
