// Redirects std::cout into a string for as long as it lives. Unlike
// capturing file descriptor 1, the text can be read while it is being
// written, e.g. from a recorder hook in the middle of a round.
#pragma once

#include <iostream>
#include <sstream>
#include <string>

namespace kpmtest {

class CoutCapture {
public:
    CoutCapture() : previous_(std::cout.rdbuf(captured_.rdbuf())) {}
    ~CoutCapture() { std::cout.rdbuf(previous_); }
    CoutCapture(const CoutCapture&) = delete;
    CoutCapture& operator=(const CoutCapture&) = delete;

    std::string text() const { return captured_.str(); }

private:
    std::ostringstream captured_;
    std::streambuf* previous_;
};

}  // namespace kpmtest
