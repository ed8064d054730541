#include "NerivaneKit/text/CommandHelp.h"

#include <algorithm>

namespace nerivane::CommandHelp {
namespace {

constexpr std::size_t width = 79;

const Option* find(std::span<const Option> table, std::string_view name) {
    // "-h" is every program's short "--help".
    if (name == "-h") name = "--help";
    const auto found =
        std::find_if(table.begin(), table.end(), [&](const Option& option) { return option.name == name; });
    return found == table.end() ? nullptr : &*found;
}

// Words of `text` filled into lines of at most `width` columns, each line
// starting with `first` (the first) or `indent` spaces (the rest). A word
// longer than a line gets a line of its own.
std::string wrapped(std::string_view text, std::string first, std::size_t indent) {
    std::string out = std::move(first), line;
    std::size_t used = out.size();
    bool empty = true;
    std::size_t at = 0;
    while (at < text.size()) {
        if (text[at] == ' ' || text[at] == '\n') {
            ++at;
            continue;
        }
        std::size_t end = text.find_first_of(" \n", at);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view word = text.substr(at, end - at);
        at = end;
        if (!empty && used + 1 + word.size() > width) {
            out += '\n' + std::string(indent, ' ');
            used = indent;
            empty = true;
        }
        if (!empty) {
            out += ' ';
            ++used;
        }
        out += word;
        used += word.size();
        empty = false;
    }
    return out + '\n';
}

}  // namespace

std::optional<std::string> Arguments::value(std::string_view name) const {
    const auto found = options.find(name);
    if (found == options.end()) return std::nullopt;
    return found->second;
}

std::variant<Arguments, std::string> parse(std::span<const Option> table, const std::vector<std::string>& arguments) {
    Arguments parsed;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument.size() < 2 || argument.front() != '-') {
            parsed.words.push_back(argument);
            continue;
        }
        std::string name = argument;
        std::optional<std::string> attached;
        if (const auto equals = argument.find('='); argument.rfind("--", 0) == 0 && equals != std::string::npos) {
            name = argument.substr(0, equals);
            attached = argument.substr(equals + 1);
        }
        const Option* option = find(table, name);
        if (!option) return "unknown option " + quoted(name);
        if (option->value.empty()) {
            if (attached) return "option " + std::string(option->name) + " takes no value";
            parsed.options[std::string(option->name)] = "";
        } else if (attached) {
            parsed.options[std::string(option->name)] = *attached;
        } else if (i + 1 < arguments.size()) {
            parsed.options[std::string(option->name)] = arguments[++i];
        } else {
            return "option " + std::string(option->name) + " needs a value: " + std::string(option->value);
        }
    }
    return parsed;
}

std::string paragraph(std::string_view text, std::size_t indent) {
    return wrapped(text, std::string(indent, ' '), indent);
}

std::string entries(const std::vector<Entry>& rows, std::size_t column) {
    std::string out;
    for (const auto& [term, text] : rows) {
        std::string first = "  " + term;
        if (first.size() + 2 > column) {
            out += first + '\n';
            first.clear();
        }
        first.resize(column, ' ');
        out += wrapped(text, std::move(first), column);
    }
    return out;
}

std::vector<Entry> rows(std::span<const Option> table) {
    std::vector<Entry> out;
    for (const Option& option : table) {
        std::string term = option.name == "--help" ? "-h, --help" : std::string(option.name);
        if (!option.value.empty()) term += " " + std::string(option.value);
        out.emplace_back(std::move(term), std::string(option.text));
    }
    return out;
}

std::string quoted(std::string_view value) { return "'" + std::string(value) + "'"; }

std::string errorLine(std::string_view program, std::string_view message) {
    return std::string(program) + ": " + std::string(message) + "\n";
}

}  // namespace nerivane::CommandHelp
