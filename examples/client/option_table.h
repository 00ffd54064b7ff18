// Command lines from a table of options: each has a name, an argument
// placeholder (null: a flag), a help text and a function that applies it.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace orbclient {

template <class Options>
struct OptionSpec {
    const char* name;
    const char* arg;
    const char* help;
    std::function<bool(Options&, const std::string&)> apply;
};

// Applies args (without argv[0]) to o in order. On error returns false and sets error.
template <class Options>
bool parseOptionTable(const std::vector<OptionSpec<Options>>& table, const std::vector<std::string>& args, Options& o,
                      std::string& error) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const OptionSpec<Options>* match = nullptr;
        for (const auto& opt : table)
            if (args[i] == opt.name || (args[i] == "-h" && std::string(opt.name) == "--help")) match = &opt;
        if (!match) {
            error = "unknown option: " + args[i];
            return false;
        }
        std::string value;
        if (match->arg) {
            if (i + 1 >= args.size()) {
                error = std::string("missing value for ") + match->name;
                return false;
            }
            value = args[++i];
        }
        if (!match->apply(o, value)) {
            error = std::string("invalid value for ") + match->name + ": " + value;
            return false;
        }
    }
    return true;
}

// One line per option, help texts aligned at column `column`.
template <class Options>
std::string optionTableUsage(const std::vector<OptionSpec<Options>>& table, std::size_t column) {
    std::string s;
    for (const auto& opt : table) {
        std::string left = std::string("  ") + opt.name + (opt.arg ? std::string(" ") + opt.arg : "");
        left += left.size() < column ? std::string(column - left.size(), ' ') : "\n" + std::string(column, ' ');
        s += left + opt.help + "\n";
    }
    return s;
}

}  // namespace orbclient
