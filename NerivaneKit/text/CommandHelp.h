// The options of a command-line program, said once: a parser reads the
// arguments against the same table that --help prints, so no option can be
// understood without being explained. Also the help's layout (terms and
// wrapped text at fixed columns, within 80 columns) and the one wording of
// usage errors that nerivane, nerivane-probe and nerivane-history share:
// "PROGRAM: MESSAGE" on one line, values in single quotes. Pure functions.
#pragma once

#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace nerivane::CommandHelp {

struct Option {
    std::string_view name;       // "--range"
    std::string_view value;      // "RANGE"; empty for a switch
    std::string_view text;       // what it does, one unwrapped paragraph
};

// A term and its explanation: a command, setting, variable or option.
using Entry = std::pair<std::string, std::string>;

// The arguments as the table understands them: the words that are not
// options, in order, and each option given with its value ("" for a switch;
// the last one wins).
struct Arguments {
    std::vector<std::string> words;
    std::map<std::string, std::string, std::less<>> options;

    bool has(std::string_view name) const { return options.find(name) != options.end(); }
    std::optional<std::string> value(std::string_view name) const;
};

// "--name VALUE", "--name=VALUE", switches alone, and "-h" for "--help";
// anything else beginning with "-" is an unknown option. The text of the first usage error otherwise.
std::variant<Arguments, std::string> parse(std::span<const Option> table, const std::vector<std::string>& arguments);

// "text" wrapped at 79 columns, every line indented by `indent`.
std::string paragraph(std::string_view text, std::size_t indent = 0);
// "  TERM  text": the texts start at column `column` (or on the next line
// after a longer term), wrapped at 79 columns.
std::string entries(const std::vector<Entry>& rows, std::size_t column = 24);
// The table's rows for entries(): "--range RANGE", "-h, --help".
std::vector<Entry> rows(std::span<const Option> table);

// 'value', the way every message quotes what the user typed.
std::string quoted(std::string_view value);
// The one line a usage or run error prints: "PROGRAM: MESSAGE\n".
std::string errorLine(std::string_view program, std::string_view message);

}  // namespace nerivane::CommandHelp
