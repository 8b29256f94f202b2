#include "kpmcheck/report.h"

#include <json/value.h>
#include <json/writer.h>

#include <iomanip>
#include <utility>

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

void Report::finish()
{
    if (!json_) {
        out_ << verdict() << '\n' << std::flush;
        return;
    }
    Json::Value report(Json::objectValue);
    report["check"] = title_;
    report["module"] = module_path_;
    Json::Value& items = report["items"] = Json::Value(Json::arrayValue);
    for (const Item& item : items_) {
        Json::Value entry(Json::objectValue);
        entry["item"] = item.name;
        entry["status"] = status_word(item.status);
        entry["text"] = item.text;
        items.append(entry);
    }
    report["verdict"] = verdict();
    report["exit_status"] = exit_status();
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    out_ << Json::writeString(builder, report) << '\n' << std::flush;
}

}  // namespace kpmcheck
