#include "kpmcheck/report.h"

#include <iomanip>
#include <utility>

#include "kpmcheck/json_text.h"

namespace kpmcheck {

namespace {

// The first column of a text line.
const char* status_mark(Status status)
{
    switch (status) {
    case Status::Ok:
        return "ok";
    case Status::Info:
        return "--";
    case Status::Warning:
        return "WARN";
    case Status::Failure:
        return "FAIL";
    }
    return "?";
}

std::string joined(const std::vector<std::string>& names)
{
    std::string text;
    for (const std::string& name : names)
        text += (text.empty() ? "" : ", ") + name;
    return text;
}

}  // namespace

const char* status_word(Status status)
{
    switch (status) {
    case Status::Ok:
        return "ok";
    case Status::Info:
        return "info";
    case Status::Warning:
        return "warning";
    case Status::Failure:
        return "fail";
    }
    return "?";
}

Report::Report(std::ostream& out, bool json, std::string title, std::string module_path)
    : out_(out), json_(json), title_(std::move(title)), module_path_(std::move(module_path))
{
    if (!json_)
        out_ << title_ << ": " << module_path_ << '\n' << std::flush;
}

void Report::add(Status status, const std::string& name, const std::string& text)
{
    items_.push_back(Item{status, name, text});
    if (!json_)
        out_ << std::left << std::setw(5) << status_mark(status) << std::setw(17) << name << text
             << '\n'
             << std::flush;
}

std::vector<std::string> Report::names_with(Status status) const
{
    std::vector<std::string> names;
    for (const Item& item : items_)
        if (item.status == status)
            names.push_back(item.name);
    return names;
}

int Report::exit_status() const
{
    if (!names_with(Status::Failure).empty())
        return kExitFail;
    if (!names_with(Status::Warning).empty())
        return kExitWarnings;
    return kExitPass;
}

std::string Report::verdict() const
{
    const std::vector<std::string> failed = names_with(Status::Failure);
    if (!failed.empty())
        return "FAIL (" + joined(failed) +
               "): the module does not work as it should on this runtime, see the lines above";
    const std::vector<std::string> warned = names_with(Status::Warning);
    if (!warned.empty())
        return "WARN (" + joined(warned) + "): every answer matched, but see the warnings above";
    return "PASS: the module fits this runtime and every answer matched";
}

void Report::add_detail(const std::string& key, const Fields& fields)
{
    details_.emplace_back(key, fields);
}

void Report::finish()
{
    if (!json_) {
        out_ << verdict() << '\n' << std::flush;
        return;
    }
    std::string text = "{\"check\":" + json_string(title_) + ",\"module\":" + json_string(module_path_) +
                       ",\"items\":[";
    for (std::size_t i = 0; i < items_.size(); ++i)
        text += std::string(i == 0 ? "" : ",") + "{\"item\":" + json_string(items_[i].name) +
                ",\"status\":" + json_string(status_word(items_[i].status)) +
                ",\"text\":" + json_string(items_[i].text) + "}";
    text += "]";
    for (const auto& [key, fields] : details_) {
        text += "," + json_string(key) + ":{";
        for (std::size_t i = 0; i < fields.size(); ++i)
            text += std::string(i == 0 ? "" : ",") + json_string(fields[i].first) + ":" +
                    json_string(fields[i].second);
        text += "}";
    }
    text += ",\"verdict\":" + json_string(verdict()) +
            ",\"exit_status\":" + std::to_string(exit_status()) + "}";
    out_ << text << '\n' << std::flush;
}

}  // namespace kpmcheck
