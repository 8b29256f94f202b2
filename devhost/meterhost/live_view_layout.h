// What the live view shows, as lines of text for a screen of a given size:
// a title line (time, the module's diagnostic lines counted), a status line
// per line, the newest meterhost message, the page shown, then the
// quantities as rows and the meters as columns, each column headed by the
// meter's address, state, rounds, errors and the age of its data. Meters
// that do not fit the width, and quantities that do not fit the height, go
// on further pages. A pure function of the meters' state and the size, so
// it is tested without a terminal; drawing is live_view.h's.
#pragma once

#include <cstddef>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "devhost/meterhost/meter_identity.h"
#include "devhost/meterhost/module_lines.h"

namespace meterhost {

enum class MeterState {
    Waiting,  // polled, no round completed yet
    Online,
    Offline
};

struct ViewMeter {
    MeterIdentity id;  // its line: an index into ViewModel::ports
    MeterState state = MeterState::Waiting;
    unsigned long rounds = 0;
    unsigned long errors = 0;
    std::optional<std::time_t> data_time;  // when its latest data was taken
    // Quantity name to the value as shown; the map's order is the
    // snapshot's key order.
    std::map<std::string, std::string> values;
};

struct ViewModel {
    std::vector<std::string> ports;  // one per line
    std::vector<ViewMeter> meters;   // in meterhost's order
    ModuleLineCounts module_lines;  // the module's diagnostic lines, by kind
    std::string message;  // the newest meterhost message, or empty
    std::time_t now = 0;  // local wall-clock time of the frame
};

struct ScreenSize {
    std::size_t columns = 80;
    std::size_t rows = 24;
};

struct ViewFrame {
    std::vector<std::string> lines;  // at most size.rows, none wider than size.columns
    std::size_t page = 0;            // the page shown, from 0
    std::size_t pages = 1;
};

// The page asked for is taken modulo the number of pages, so a caller may
// simply count up to turn them.
ViewFrame lay_out_view(const ViewModel& model, ScreenSize size, std::size_t page);

// "12s", "5m", "3h", "2d": the age of data taken at data_time; "-" for none.
std::string age_text(std::optional<std::time_t> data_time, std::time_t now);

}  // namespace meterhost
