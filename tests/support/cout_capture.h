// Redirects std::cout for as long as it lives: CoutCapture into a string,
// CoutWrites into the list of the writes the stream makes.
#pragma once

#include <iostream>
#include <mutex>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

namespace kpmtest {

// Unlike capturing file descriptor 1, the text can be read while it is being
// written, e.g. from a recorder hook in the middle of a round.
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

// Keeps every write std::cout hands its buffer as a piece of its own, from
// any number of threads. The buffer has no put area, so each stream operation
// reaches it as one write, as each reaches standard output's FILE as one
// locked fwrite: a line made by several operations (text, number, line end)
// arrives as several pieces, between which another thread's line can fall.
class CoutWrites {
public:
    CoutWrites() : previous_(std::cout.rdbuf(&buffer_)) {}
    ~CoutWrites() { std::cout.rdbuf(previous_); }
    CoutWrites(const CoutWrites&) = delete;
    CoutWrites& operator=(const CoutWrites&) = delete;

    std::vector<std::string> pieces() const
    {
        std::lock_guard<std::mutex> lock(buffer_.mutex);
        return buffer_.pieces;
    }

private:
    struct PieceBuffer : std::streambuf {
        std::streamsize xsputn(const char* text, std::streamsize count) override
        {
            std::lock_guard<std::mutex> lock(mutex);
            pieces.emplace_back(text, static_cast<std::size_t>(count));
            return count;
        }
        int_type overflow(int_type c) override
        {
            if (traits_type::eq_int_type(c, traits_type::eof()))
                return traits_type::not_eof(c);
            std::lock_guard<std::mutex> lock(mutex);
            pieces.emplace_back(1, traits_type::to_char_type(c));
            return c;
        }

        mutable std::mutex mutex;
        std::vector<std::string> pieces;
    };

    PieceBuffer buffer_;
    std::streambuf* previous_;
};

}  // namespace kpmtest
