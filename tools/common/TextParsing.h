#pragma once
// Strict parsing of command-line and CSV texts for the tools: a number must
// be the whole text (no trailing characters, finite), keys of "key=value"
// lists are matched exactly. Answers false rather than throwing.

#include <string>
#include <vector>

namespace qb32::tools {

std::vector<std::string> split(const std::string& text, char separator);
std::string trim(const std::string& text);
// ASCII letters in lower case (file extensions, names typed by users).
std::string lower(std::string text);
bool parseNumber(const std::string& text, double& value);
bool parseInteger(const std::string& text, long long& value);
// Shortest natural form: 48000, 0.5, -6.02.
std::string formatNumber(double value);

}  // namespace qb32::tools
