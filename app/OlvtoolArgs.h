// olvtool's command line: the commands, their options, the parser and the help texts, all
// from one table. Options may stand anywhere after the command, "--" ends them, and
// "--name=value", "--name value", "-xVALUE", "-x VALUE" and "-abc" are all understood.
#pragma once

#include <string>
#include <vector>

namespace quorvel::olvtool {

enum class Opt {
    Help,
    Force,
    Fault,
    FormatVersion,
    Records,
    Bytes,
    From,
    Null,
    Json,
    Jobs,
    Quiet,
    Verbose,
    DryRun,
};

enum class Command { Scan, Fix, Make, Info, Verify, Resave, Demo };

struct Parsed {
    Command command{};
    std::vector<std::pair<Opt, std::string>> options;  // in the order given, with their values
    std::vector<std::string> operands;

    bool Has(Opt opt) const;
    // The value of the last `opt` given; empty when none was.
    std::string Value(Opt opt) const;
    // Every value of `opt`, in order.
    std::vector<std::string> Values(Opt opt) const;
};

// What main should do after parsing.
enum class ParseResult { Run, Exit0, Exit2 };

// Parses olvtool's whole command line. Prints the help (stdout, for --help), the version, or
// the problem with a hint (stderr) itself and says how to end; Run means `parsed` holds a
// command to run.
ParseResult ParseCommandLine(int argc, char** argv, Parsed& parsed);

// Says what is wrong with the command line of `command` ("" before one) and how to get help;
// returns exit code 2.
int UsageProblem(const std::string& command, const std::string& problem);

// The name of `command` as typed.
const char* CommandName(Command command);

}  // namespace quorvel::olvtool
