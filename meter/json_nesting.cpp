#include "meter/json_nesting.h"

namespace meter {

bool json_nesting_within(const char* text, std::size_t length, int max_depth)
{
    int depth = 0;
    std::size_t i = 0;
    while (i < length) {
        const char c = text[i];
        if (c == '"') {
            for (++i; i < length && text[i] != '"'; ++i)
                if (text[i] == '\\')
                    ++i;
        } else if (c == '/' && i + 1 < length && text[i + 1] == '/') {
            // The reader ends a line comment at CR as well as at LF.
            while (i < length && text[i] != '\n' && text[i] != '\r')
                ++i;
        } else if (c == '/' && i + 1 < length && text[i + 1] == '*') {
            for (i += 2; i + 1 < length && !(text[i] == '*' && text[i + 1] == '/'); ++i) {
            }
            ++i;
        } else if (c == '[' || c == '{') {
            if (++depth > max_depth)
                return false;
        } else if (c == ']' || c == '}') {
            --depth;
        }
        ++i;
    }
    return true;
}

}  // namespace meter
