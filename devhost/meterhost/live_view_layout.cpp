#include "devhost/meterhost/live_view_layout.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include "devhost/meterhost/snapshot_view.h"

namespace meterhost {

namespace {

constexpr std::size_t kColumnGap = 2;
constexpr std::size_t kMinColumnWidth = 6;

// Column headings of the table, above the quantities.
enum class HeadRow { Meter, Line, State, Rounds, Errors, Age };
struct HeadRowName {
    HeadRow row;
    const char* label;
};
constexpr HeadRowName kHeadRows[] = {
    {HeadRow::Meter, "meter"},   {HeadRow::Line, "line"},     {HeadRow::State, "state"},
    {HeadRow::Rounds, "rounds"}, {HeadRow::Errors, "errors"}, {HeadRow::Age, "age"},
};

const char* state_name(MeterState state)
{
    switch (state) {
    case MeterState::Waiting:
        return "waiting";
    case MeterState::Online:
        return "online";
    case MeterState::Offline:
        return "offline";
    }
    return "?";
}

// The text cut to at most `columns` terminal columns, never inside a character.
std::string fit(const std::string& text, std::size_t columns)
{
    std::size_t used = 0;
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        const std::size_t width = display_width(text.substr(i, length));
        if (used + width > columns)
            return text.substr(0, i);
        used += width;
        i += length;
    }
    return text;
}

std::string pad_left(const std::string& text, std::size_t width)
{
    const std::size_t used = display_width(text);
    return std::string(used < width ? width - used : 0, ' ') + text;
}

std::string pad_right(const std::string& text, std::size_t width)
{
    const std::size_t used = display_width(text);
    return text + std::string(used < width ? width - used : 0, ' ');
}

std::string clock_text(std::time_t now)
{
    std::tm local{};
    localtime_r(&now, &local);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return text;
}

std::string module_lines_text(const ModuleLineCounts& counts)
{
    const unsigned long all = counts.total();
    std::string text = "module output " + std::to_string(all) + " lines: rvSize " +
                       std::to_string(counts.round_lines) + ", SPModbus get error " +
                       std::to_string(counts.error_lines);
    if (counts.other_lines != 0)
        text += ", other " + std::to_string(counts.other_lines);
    return text;
}

std::string line_status(const ViewModel& model, std::size_t line)
{
    std::size_t meters = 0;
    std::size_t offline = 0;
    std::size_t waiting = 0;
    unsigned long rounds = 0;
    unsigned long errors = 0;
    for (const ViewMeter& meter : model.meters) {
        if (meter.id.line != line)
            continue;
        ++meters;
        offline += meter.state == MeterState::Offline;
        waiting += meter.state == MeterState::Waiting;
        rounds += meter.rounds;
        errors += meter.errors;
    }
    std::string state = "polling";
    if (meters != 0 && offline == meters)
        state = "all offline";
    else if (offline != 0)
        state = "polling, " + std::to_string(offline) + " offline";
    else if (waiting == meters)
        state = "starting";
    return "line " + std::to_string(line + 1) + " " + model.ports.at(line) + " | " + state +
           " | " + std::to_string(meters) + (meters == 1 ? " meter" : " meters") + ", " +
           std::to_string(meters - offline) + " online | rounds " + std::to_string(rounds) +
           " | errors " + std::to_string(errors);
}

std::string head_cell(const ViewModel& model, const ViewMeter& meter, HeadRow row)
{
    switch (row) {
    case HeadRow::Meter:
        return std::to_string(meter.id.slave);
    case HeadRow::Line:
        return std::to_string(meter.id.line + 1);
    case HeadRow::State:
        return state_name(meter.state);
    case HeadRow::Rounds:
        return std::to_string(meter.rounds);
    case HeadRow::Errors:
        return std::to_string(meter.errors);
    case HeadRow::Age:
        return age_text(meter.data_time, model.now);
    }
    return "";
}

std::string range_text(const char* what, std::size_t first, std::size_t count, std::size_t all)
{
    return std::string(what) + " " + std::to_string(first + 1) + "-" +
           std::to_string(first + count) + " of " + std::to_string(all);
}

// Every quantity any meter has, in the snapshot's key order.
std::vector<std::string> quantities_of(const ViewModel& model)
{
    std::set<std::string> names;
    for (const ViewMeter& meter : model.meters)
        for (const auto& value : meter.values)
            names.insert(value.first);
    return {names.begin(), names.end()};
}

struct Widths {
    std::size_t names = 0;    // the row names' column
    std::size_t columns = 0;  // each meter's column
};

// One width for every meter's column, so that a meter keeps its page while
// its values change.
Widths widths_of(const ViewModel& model, const std::vector<HeadRowName>& head_rows,
                 const std::vector<std::string>& quantities)
{
    Widths widths{0, kMinColumnWidth};
    for (const HeadRowName& row : head_rows)
        widths.names = std::max(widths.names, display_width(row.label));
    for (const std::string& name : quantities)
        widths.names = std::max(widths.names, display_width(name));
    for (const ViewMeter& meter : model.meters) {
        for (const HeadRowName& row : head_rows)
            widths.columns =
                std::max(widths.columns, display_width(head_cell(model, meter, row.row)));
        for (const auto& value : meter.values)
            widths.columns = std::max(widths.columns, display_width(value.second));
    }
    return widths;
}

// `total` things in slices of as many as fit (at least one each).
struct Slices {
    std::size_t each = 1;
    std::size_t count = 1;
};

Slices slices(std::size_t total, std::size_t fitting)
{
    Slices result;
    result.each = std::max<std::size_t>(1, std::min(total, fitting));
    result.count = std::max<std::size_t>(1, (total + result.each - 1) / result.each);
    return result;
}

}  // namespace

std::string age_text(std::optional<std::time_t> data_time, std::time_t now)
{
    if (!data_time)
        return "-";
    const long seconds = std::max(0L, static_cast<long>(now - *data_time));
    if (seconds < 60)
        return std::to_string(seconds) + "s";
    if (seconds < 3600)
        return std::to_string(seconds / 60) + "m";
    if (seconds < 86400)
        return std::to_string(seconds / 3600) + "h";
    return std::to_string(seconds / 86400) + "d";
}

ViewFrame lay_out_view(const ViewModel& model, ScreenSize size, std::size_t page)
{
    std::vector<HeadRowName> head_rows;
    for (const HeadRowName& row : kHeadRows)
        if (row.row != HeadRow::Line || model.ports.size() > 1)
            head_rows.push_back(row);
    const std::vector<std::string> quantities = quantities_of(model);
    const Widths widths = widths_of(model, head_rows, quantities);

    // Above the table: the title, a status line per line, the
    // message and the page.
    const std::size_t fixed_rows = 1 + model.ports.size() + 1 + 1 + head_rows.size();
    const Slices meters = slices(
        model.meters.size(), size.columns > widths.names
                                 ? (size.columns - widths.names) / (kColumnGap + widths.columns)
                                 : 0);
    const Slices rows =
        slices(quantities.size(), size.rows > fixed_rows ? size.rows - fixed_rows : 0);

    ViewFrame frame;
    frame.pages = meters.count * rows.count;
    frame.page = page % frame.pages;
    const std::size_t first_meter = frame.page / rows.count * meters.each;
    const std::size_t meter_count = std::min(meters.each, model.meters.size() - first_meter);
    const std::size_t first_quantity = frame.page % rows.count * rows.each;
    const std::size_t quantity_count =
        std::min(rows.each, quantities.size() - std::min(first_quantity, quantities.size()));

    frame.lines.push_back("meterhost " + clock_text(model.now) + " | " +
                          module_lines_text(model.module_lines));
    for (std::size_t line = 0; line < model.ports.size(); ++line)
        frame.lines.push_back(line_status(model, line));
    frame.lines.push_back("last message: " +
                          (model.message.empty() ? std::string("none") : model.message));
    std::string page_line =
        "page " + std::to_string(frame.page + 1) + " of " + std::to_string(frame.pages);
    if (meters.count > 1)
        page_line += ": " + range_text("meters", first_meter, meter_count, model.meters.size());
    if (rows.count > 1)
        page_line += std::string(meters.count > 1 ? ", " : ": ") +
                     range_text("quantities", first_quantity, quantity_count, quantities.size());
    frame.lines.push_back(page_line);

    const std::string gap(kColumnGap, ' ');
    const auto table_row = [&](const std::string& label, const auto& cell_of) {
        std::string text = pad_right(label, widths.names);
        for (std::size_t i = first_meter; i < first_meter + meter_count; ++i)
            text += gap + pad_left(cell_of(model.meters[i]), widths.columns);
        frame.lines.push_back(text);
    };
    for (const HeadRowName& row : head_rows)
        table_row(row.label,
                  [&](const ViewMeter& meter) { return head_cell(model, meter, row.row); });
    if (quantities.empty())
        frame.lines.emplace_back("(no data yet)");
    for (std::size_t q = first_quantity; q < first_quantity + quantity_count; ++q)
        table_row(quantities[q], [&](const ViewMeter& meter) {
            const auto value = meter.values.find(quantities[q]);
            return value == meter.values.end() ? std::string("-") : value->second;
        });

    if (frame.lines.size() > size.rows)
        frame.lines.resize(size.rows);
    for (std::string& line : frame.lines) {
        line = fit(line, size.columns);
        line.erase(line.find_last_not_of(' ') + 1);
    }
    return frame;
}

}  // namespace meterhost
