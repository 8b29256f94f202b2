#include "kpmcheck/differences.h"

#include <algorithm>

namespace kpmcheck {

namespace {

// Text shown before and after the first difference of two texts.
constexpr std::size_t kContextBefore = 24;
constexpr std::size_t kContextAfter = 40;

template <typename T, typename Show>
std::string listed(const std::vector<T>& values, Show show)
{
    std::string text = "[";
    for (const T& value : values)
        text += (text.size() > 1 ? ", " : "") + show(value);
    return text + "]";
}

std::string excerpt(const std::string& text, std::size_t at)
{
    const std::size_t begin = at > kContextBefore ? at - kContextBefore : 0;
    std::string shown = text.substr(begin, at - begin + kContextAfter);
    for (char& c : shown)
        if (c == '\n')
            c = ' ';
    return (begin > 0 ? "..." : "") + shown + (begin + shown.size() < text.size() ? "..." : "");
}

}  // namespace

void Differences::expect(const std::string& what, std::int64_t expected, std::int64_t came)
{
    if (expected != came)
        note(what + ": expected " + std::to_string(expected) + ", came " + std::to_string(came));
}

void Differences::expect(const std::string& what, const std::string& expected,
                         const std::string& came)
{
    if (expected != came)
        note(what + ": expected \"" + expected + "\", came \"" + came + "\"");
}

void Differences::expect(const std::string& what, const std::vector<std::string>& expected,
                         const std::vector<std::string>& came)
{
    const auto show = [](const std::string& value) { return value; };
    if (expected != came)
        note(what + ": expected " + listed(expected, show) + ", came " + listed(came, show));
}

void Differences::expect(const std::string& what, const std::vector<std::int64_t>& expected,
                         const std::vector<std::int64_t>& came)
{
    const auto show = [](std::int64_t value) { return std::to_string(value); };
    if (expected != came)
        note(what + ": expected " + listed(expected, show) + ", came " + listed(came, show));
}

std::string Differences::text() const
{
    std::string text;
    for (const std::string& difference : found_)
        text += (text.empty() ? "" : "; ") + difference;
    return text;
}

std::string text_difference(const std::string& expected, const std::string& came)
{
    const auto mismatch = std::mismatch(expected.begin(), expected.end(), came.begin(), came.end());
    const auto at = static_cast<std::size_t>(mismatch.first - expected.begin());
    return "first difference at byte " + std::to_string(at) + " of " +
           std::to_string(expected.size()) + ": expected " + excerpt(expected, at) + ", came " +
           excerpt(came, at);
}

}  // namespace kpmcheck
