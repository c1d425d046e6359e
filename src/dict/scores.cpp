#include "dict/scores.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "text/char_utils.h"

namespace anagram {

std::variant<FixedScore, std::string> to_fixed_score(double score) {
  if (!std::isfinite(score)) return std::string("a score must be a finite number");
  if (std::fabs(score) > kMaxScore) return std::string("a score must lie between -1e9 and 1e9");
  return static_cast<FixedScore>(std::llround(score / kScoreUnit));
}

void WordScores::add(const std::vector<std::pair<std::string, FixedScore>>& scores) {
  for (const auto& [word, score] : scores) {
    std::string key = normalize_word(word);
    if (!key.empty()) by_word[std::move(key)] = score;
  }
}

std::variant<std::vector<std::pair<std::string, FixedScore>>, std::string> parse_score_lines(std::string_view text) {
  std::vector<std::pair<std::string, FixedScore>> out;
  size_t line_number = 0;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    ++line_number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.find_first_not_of(" \t") == std::string_view::npos) continue;
    const auto where = [&](const std::string& why) { return "line " + std::to_string(line_number) + ": " + why; };
    const size_t tab = line.rfind('\t');
    if (tab == std::string_view::npos) return where("expected word<TAB>score");
    const std::string number(line.substr(tab + 1));
    char* stop = nullptr;
    errno = 0;
    const double value = std::strtod(number.c_str(), &stop);
    if (number.empty() || stop == number.c_str() || std::string_view(stop).find_first_not_of(" \t") != std::string_view::npos) {
      return where("'" + number + "' is not a number");
    }
    const auto fixed = to_fixed_score(value);
    if (const std::string* why = std::get_if<std::string>(&fixed)) return where(*why);
    out.emplace_back(std::string(line.substr(0, tab)), std::get<FixedScore>(fixed));
  }
  return out;
}

}  // namespace anagram
