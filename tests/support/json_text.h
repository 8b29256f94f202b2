// Parses JSON text with the reader the host's requests are parsed with.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include <json/reader.h>

namespace kpmtest {

inline Json::Value parse_json(const std::string& text)
{
    Json::Value value;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    Json::Reader reader;
#pragma GCC diagnostic pop
    EXPECT_TRUE(reader.parse(text, value)) << text;
    return value;
}

}  // namespace kpmtest
