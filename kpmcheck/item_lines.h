// The messages the part of the check that runs the module sends back to the
// part that writes the report, one line each, over a pipe: either "step",
// NAME (what runs next, so that a crash is put down to it) or "item",
// STATUS, NAME, TEXT. Fields are separated by tabs; a backslash, tab or line
// break inside a field is escaped. No JSON library: the reading side runs on
// gateways where none may be loaded.
#pragma once

#include <optional>
#include <string>

#include "kpmcheck/report.h"

namespace kpmcheck {

std::string step_line(const std::string& name);
std::string item_line(Status status, const std::string& name, const std::string& text);

struct Message {
    bool is_step = false;
    Status status = Status::Info;
    std::string name;
    std::string text;
};

// Empty for a line that is not a whole message (one cut short by a crash).
std::optional<Message> parse_line(const std::string& line);

// An ItemSink that writes each message to a file descriptor.
class LineSink final : public ItemSink {
public:
    explicit LineSink(int fd) : fd_(fd) {}
    void add(Status status, const std::string& name, const std::string& text) override;
    void step(const std::string& name) override;
    int fd() const { return fd_; }

private:
    int fd_;
};

}  // namespace kpmcheck
