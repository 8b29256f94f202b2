// Collects what differs between the known answers and what the module
// gave, as "what: expected X, came Y" phrases for one report line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kpmcheck {

class Differences {
public:
    void expect(const std::string& what, std::int64_t expected, std::int64_t came);
    void expect(const std::string& what, const std::string& expected, const std::string& came);
    void expect(const std::string& what, const std::vector<std::string>& expected,
                const std::vector<std::string>& came);
    void expect(const std::string& what, const std::vector<std::int64_t>& expected,
                const std::vector<std::int64_t>& came);
    void note(const std::string& difference) { found_.push_back(difference); }

    bool empty() const { return found_.empty(); }
    std::string text() const;

private:
    std::vector<std::string> found_;
};

// Where two texts first differ, with some text around it from each.
std::string text_difference(const std::string& expected, const std::string& came);

}  // namespace kpmcheck
