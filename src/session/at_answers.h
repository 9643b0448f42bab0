// Reading the information lines of AT answers: "+CMGL: 3,1,,24" and the
// like, their parameters split at the commas that stand outside quotes and
// parentheses.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvalen {

// The parameters of the line after "name:" ("+CPMS"), quotes removed from
// quoted ones, a parenthesised list kept whole with its parentheses; nothing
// when the line is not that answer.
std::optional<std::vector<std::string>> AnswerParameters(std::string_view line,
                                                         std::string_view name);
// The items of the first list of the answer "name: (...),...", the memories
// an AT+CPMS=? or AT+CPBS=? names; nothing when no line is that answer.
std::optional<std::vector<std::string>> FirstListOf(const std::vector<std::string>& lines,
                                                    std::string_view name);
// The items of a parenthesised list: "(\"SM\",\"ME\")" → SM, ME.
std::vector<std::string> ListItems(std::string_view list);
// The bounds of a range "(1-250)" or "1-250"; nothing when it is not one.
std::optional<std::pair<int, int>> RangeOf(std::string_view text);
// The memories "every memory" means: the SIM's and the phone's (SM, ME)
// where the phone lists them, else all it lists. Phones also list stores
// that are no memory of one's own (call lists, numbers behind PIN2, MT for
// SM and ME together).
std::vector<std::string> PreferredMemories(const std::vector<std::string>& listed);
// A whole decimal number, or nothing.
std::optional<int> NumberOf(std::string_view text);

}  // namespace quorvalen
