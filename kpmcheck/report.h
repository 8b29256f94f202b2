// The check's report: one item per aspect checked, each ok, informational,
// a warning or a failure, written as text lines while the check runs or as
// one JSON object at the end, and the verdict with the exit status.
#pragma once

#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace kpmcheck {

enum class Status { Ok, Info, Warning, Failure };

struct Item {
    Status status;
    std::string name;
    std::string text;
};

// Where the parts of the check put their findings. step() names what runs
// next, so that a crash can be put down to it.
class ItemSink {
public:
    virtual ~ItemSink() = default;
    virtual void add(Status status, const std::string& name, const std::string& text) = 0;
    virtual void step(const std::string& name) = 0;
};

// Exit statuses.
constexpr int kExitPass = 0;
constexpr int kExitFail = 1;
constexpr int kExitUsage = 2;
constexpr int kExitWarnings = 3;

class Report final : public ItemSink {
public:
    // Text lines go to out as items come; the JSON form is written whole
    // by finish().
    Report(std::ostream& out, bool json, std::string title, std::string module_path);

    void add(Status status, const std::string& name, const std::string& text) override;
    void step(const std::string&) override {}

    // A member of the JSON object beside the items: an object of the
    // fields given, in that order (the text lines say the same in an item).
    using Fields = std::vector<std::pair<std::string, std::string>>;
    void add_detail(const std::string& key, const Fields& fields);

    const std::vector<Item>& items() const { return items_; }
    int exit_status() const;
    std::string verdict() const;
    // Writes the verdict line, or the whole JSON object.
    void finish();

private:
    std::vector<std::string> names_with(Status status) const;

    std::ostream& out_;
    bool json_;
    std::string title_;
    std::string module_path_;
    std::vector<Item> items_;
    std::vector<std::pair<std::string, Fields>> details_;
};

const char* status_word(Status status);  // "ok", "info", "warning", "fail"

}  // namespace kpmcheck
