#include "kpmcheck/item_lines.h"

#include <vector>

#include "sysio/write_all.h"

namespace kpmcheck {

namespace {

std::string escaped(const std::string& field)
{
    std::string out;
    for (const char c : field) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

// The fields of a line, unescaped; empty for a bad escape.
std::optional<std::vector<std::string>> fields_of(const std::string& line)
{
    std::vector<std::string> fields(1);
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '\t') {
            fields.emplace_back();
        } else if (c != '\\') {
            fields.back() += c;
        } else if (++i == line.size()) {
            return std::nullopt;
        } else if (line[i] == '\\' || line[i] == 't' || line[i] == 'n') {
            fields.back() += line[i] == '\\' ? '\\' : line[i] == 't' ? '\t' : '\n';
        } else {
            return std::nullopt;
        }
    }
    return fields;
}

}  // namespace

std::string step_line(const std::string& name) { return "step\t" + escaped(name) + "\n"; }

std::string item_line(Status status, const std::string& name, const std::string& text)
{
    return std::string("item\t") + status_word(status) + "\t" + escaped(name) + "\t" +
           escaped(text) + "\n";
}

std::optional<Message> parse_line(const std::string& line)
{
    const auto fields = fields_of(line);
    if (!fields)
        return std::nullopt;
    Message message;
    if ((*fields)[0] == "step" && fields->size() == 2) {
        message.is_step = true;
        message.name = (*fields)[1];
        return message;
    }
    if ((*fields)[0] != "item" || fields->size() != 4)
        return std::nullopt;
    for (Status status : {Status::Ok, Status::Info, Status::Warning, Status::Failure})
        if ((*fields)[1] == status_word(status)) {
            message.status = status;
            message.name = (*fields)[2];
            message.text = (*fields)[3];
            return message;
        }
    return std::nullopt;
}

// A reader that has gone learns nothing more; the writer carries on.
void LineSink::add(Status status, const std::string& name, const std::string& text)
{
    sysio::write_all(fd_, item_line(status, name, text));
}

void LineSink::step(const std::string& name) { sysio::write_all(fd_, step_line(name)); }

}  // namespace kpmcheck
