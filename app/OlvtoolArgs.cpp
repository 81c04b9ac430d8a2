#include "app/OlvtoolArgs.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

#include "app/OlvtoolOutput.h"

#ifndef QUORVEL_VERSION
#define QUORVEL_VERSION "unknown"
#endif

namespace quorvel::olvtool {

namespace {

struct OptionEntry {
    Opt id;
    char shortName;        // 0: none
    const char* longName;
    const char* value;     // the value's name; null when the option takes none
    const char* help;
};

const OptionEntry kOptions[] = {
    {Opt::Help, 'h', "help", nullptr, "show this help and exit"},
    {Opt::From, 0, "from", "FILE", "read more paths from FILE, one per line ('-': standard input)"},
    {Opt::Null, '0', "null", nullptr, "paths in --from end with NUL; output records end with NUL, paths unquoted"},
    {Opt::Json, 0, "json", nullptr, "write one JSON object per record: path, version, outcome, reason"},
    {Opt::Jobs, 'j', "jobs", "N", "files at once, 1 to 256 (probed and folders listed ahead: 8; rewritten: 24)"},
    {Opt::Quiet, 'q', "quiet", nullptr, "print no counts and no progress on stderr, only errors"},
    {Opt::Verbose, 'v', "verbose", nullptr, "also name each ROOT as its walk starts; count the files of each version"},
    {Opt::DryRun, 'n', "dry-run", nullptr, "list the version-4 files that would be rewritten; write nothing"},
    {Opt::FormatVersion, 0, "version", "N", "the new file's format version, 1 and up (required)"},
    {Opt::Fault, 0, "fault", nullptr, "give it the recoverable fault that resaving repairs (version 4 only)"},
    {Opt::Records, 0, "records", "K", "the number of records, 0 to 10000000 (3)"},
    {Opt::Bytes, 0, "bytes", "B", "make the file about B bytes long, up to 4294967296"},
    {Opt::Force, 'f', "force", nullptr, "replace FILE when it exists"},
};

struct CommandEntry {
    Command id;
    const char* name;
    const char* operands;
    const char* summary;
    std::vector<Opt> options;  // besides --help
    std::size_t minOperands;
    std::size_t maxOperands;
};

constexpr std::size_t kAny = static_cast<std::size_t>(-1);

const std::vector<Opt> kTreeOptions = {Opt::From, Opt::Null, Opt::Json, Opt::Jobs, Opt::Quiet, Opt::Verbose};

const CommandEntry kCommands[] = {
    {Command::Scan, "scan", "ROOT...", "list every .olv file beneath each ROOT with its version", kTreeOptions, 0, kAny},
    {Command::Fix, "fix", "ROOT...", "rewrite every version-4 .olv file beneath each ROOT in place",
     {Opt::From, Opt::Null, Opt::Json, Opt::Jobs, Opt::Quiet, Opt::Verbose, Opt::DryRun}, 0, kAny},
    {Command::Make, "make", "FILE", "write a new .olv file of the format version --version N",
     {Opt::FormatVersion, Opt::Fault, Opt::Records, Opt::Bytes, Opt::Force}, 1, 1},
    {Command::Info, "info", "FILE...", "print each file's version, records and fault", {}, 1, kAny},
    {Command::Verify, "verify", "FILE...", "check each file completely", {}, 1, kAny},
    {Command::Resave, "resave", "FILE...", "rewrite each version-4 FILE in place, as fix does", {}, 1, kAny},
    {Command::Demo, "demo", "DIR", "make a tree of demo files in DIR, which must be missing or empty", {}, 1, 1},
};

const CommandEntry& CommandOf(Command id) {
    return *std::find_if(std::begin(kCommands), std::end(kCommands), [id](const CommandEntry& c) { return c.id == id; });
}

const OptionEntry& OptionOf(Opt id) {
    return *std::find_if(std::begin(kOptions), std::end(kOptions), [id](const OptionEntry& o) { return o.id == id; });
}

// "  -j, --jobs N      files ..." with the help text in one column.
std::string OptionLine(const OptionEntry& o) {
    std::string left = o.shortName ? std::string("  -") + o.shortName + ", " : std::string("      ");
    left += std::string("--") + o.longName;
    if (o.value) left += std::string(" ") + o.value;
    left.resize(std::max<std::size_t>(left.size() + 2, 22), ' ');
    return left + o.help + "\n";
}

std::string CommandLine(const CommandEntry& c) {
    std::string left = std::string("  ") + c.name + " " + c.operands;
    left.resize(std::max<std::size_t>(left.size() + 2, 22), ' ');
    return left + c.summary + "\n";
}

const char kExitStatus[] =
    "Exit status: 0 success; 1 a file is invalid or was not rewritten; 2 bad arguments, or a\n"
    "ROOT or FILE that cannot be read; 130 stopped by Ctrl+C.\n";

std::string GeneralHelp() {
    std::string help =
        "Usage: olvtool COMMAND [OPTION]... [OPERAND]...\n"
        "Finds .olv files beneath folders and rewrites the version-4 ones in place, as quorvel's\n"
        "Fix files does; makes, describes, checks and resaves single files.\n"
        "\nCommands:\n";
    for (const CommandEntry& c : kCommands) help += CommandLine(c);
    help += "\nOptions:\n";
    help += OptionLine(OptionOf(Opt::Help));
    help += "  -V, --version       show olvtool's version and exit\n";
    help += "Options of scan and fix:\n";
    for (Opt o : kTreeOptions) help += OptionLine(OptionOf(o));
    help += "Options of fix:\n" + OptionLine(OptionOf(Opt::DryRun));
    help += "Options of make:\n";
    for (Opt o : CommandOf(Command::Make).options) help += OptionLine(OptionOf(o));
    help += "\nRun 'olvtool COMMAND --help' for one command.\n";
    help += kExitStatus;
    return help;
}

std::string CommandHelp(const CommandEntry& c) {
    std::string help = std::string("Usage: olvtool ") + c.name + " [OPTION]... " + c.operands + "\n";
    std::string summary = c.summary;
    summary[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(summary[0])));
    help += summary + ".\n";
    if (c.id == Command::Scan || c.id == Command::Fix)
        help += "A ROOT that is a file is taken as it is; --from adds paths of either kind.\n";
    help += "\nOptions:\n";
    for (Opt o : c.options) help += OptionLine(OptionOf(o));
    help += OptionLine(OptionOf(Opt::Help));
    help += kExitStatus;
    return help;
}

ParseResult Usage(const std::string& command, const std::string& problem) {
    UsageProblem(command, problem);
    return ParseResult::Exit2;
}

bool Takes(const CommandEntry& c, Opt id) {
    return id == Opt::Help || std::find(c.options.begin(), c.options.end(), id) != c.options.end();
}

}  // namespace

bool Parsed::Has(Opt opt) const {
    return std::any_of(options.begin(), options.end(), [opt](const auto& o) { return o.first == opt; });
}

std::string Parsed::Value(Opt opt) const {
    std::string value;
    for (const auto& o : options)
        if (o.first == opt) value = o.second;
    return value;
}

std::vector<std::string> Parsed::Values(Opt opt) const {
    std::vector<std::string> values;
    for (const auto& o : options)
        if (o.first == opt) values.push_back(o.second);
    return values;
}

int UsageProblem(const std::string& command, const std::string& problem) {
    Complain(command.empty() ? problem : command + ": " + problem);
    WriteErr("Try 'olvtool " + (command.empty() ? std::string() : command + " ") + "--help'.\n");
    return 2;
}

const char* CommandName(Command command) {
    for (const CommandEntry& c : kCommands)
        if (c.id == command) return c.name;
    return "";
}

ParseResult ParseCommandLine(int argc, char** argv, Parsed& parsed) {
    if (argc < 2) return Usage("", "a COMMAND is needed");
    const std::string first = argv[1];
    if (first == "-h" || first == "--help" || first == "help") {
        if (argc > 2 && first == "help") {
            for (const CommandEntry& c : kCommands)
                if (argv[2] == std::string_view(c.name)) {
                    WriteOut(CommandHelp(c));
                    return ParseResult::Exit0;
                }
            return Usage("", std::string("unknown command: ") + Quoted(argv[2]));
        }
        WriteOut(GeneralHelp());
        return ParseResult::Exit0;
    }
    if (first == "-V" || first == "--version") {
        WriteOut("olvtool (quorvel) " QUORVEL_VERSION "\n");
        return ParseResult::Exit0;
    }
    if (first.size() > 1 && first[0] == '-') return Usage("", "unknown option: " + Quoted(first));
    const CommandEntry* cmd = nullptr;
    for (const CommandEntry& c : kCommands)
        if (first == c.name) cmd = &c;
    if (!cmd) return Usage("", "unknown command: " + Quoted(first));

    parsed = Parsed{};
    parsed.command = cmd->id;
    const std::string name = cmd->name;
    bool optionsEnded = false;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            parsed.operands.push_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg.starts_with("--")) {
            const std::size_t eq = arg.find('=');
            const std::string longName = arg.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
            const OptionEntry* o = nullptr;
            for (const OptionEntry& candidate : kOptions)
                if (longName == candidate.longName && Takes(*cmd, candidate.id)) o = &candidate;
            if (!o) return Usage(name, "unknown option: " + Quoted(arg));
            std::string value;
            if (o->value && eq != std::string::npos) {
                value = arg.substr(eq + 1);
            } else if (o->value) {
                if (i + 1 >= argc) return Usage(name, "--" + longName + " needs a value: " + o->value);
                value = argv[++i];
            } else if (eq != std::string::npos) {
                return Usage(name, "--" + longName + " takes no value");
            }
            parsed.options.emplace_back(o->id, value);
        } else {
            // A cluster of short options; one that takes a value takes the rest, or the next.
            for (std::size_t k = 1; k < arg.size(); ++k) {
                const OptionEntry* o = nullptr;
                for (const OptionEntry& candidate : kOptions)
                    if (candidate.shortName == arg[k] && Takes(*cmd, candidate.id)) o = &candidate;
                if (!o) return Usage(name, std::string("unknown option: ") + Quoted(std::string("-") + arg[k]));
                std::string value;
                if (o->value) {
                    if (k + 1 < arg.size()) {
                        value = arg.substr(k + 1);
                    } else if (i + 1 < argc) {
                        value = argv[++i];
                    } else {
                        return Usage(name, std::string("-") + arg[k] + " needs a value: " + o->value);
                    }
                    k = arg.size();
                }
                parsed.options.emplace_back(o->id, value);
            }
        }
    }
    if (parsed.Has(Opt::Help)) {
        WriteOut(CommandHelp(*cmd));
        return ParseResult::Exit0;
    }
    const std::string operand = std::string(cmd->operands).substr(0, std::string(cmd->operands).find('.'));
    if (parsed.operands.size() < cmd->minOperands)
        return Usage(name, cmd->maxOperands == 1 ? "needs a " + operand : "needs at least one " + operand);
    if (parsed.operands.size() > cmd->maxOperands)
        return Usage(name, "unexpected argument: " + Quoted(parsed.operands[cmd->maxOperands]));
    return ParseResult::Run;
}

}  // namespace quorvel::olvtool
